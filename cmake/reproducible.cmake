# Reproducible builds: the same commit gives the same bytes, whatever the build's path or time.
#
# SOURCE_DATE_EPOCH (seconds since 1970) dates everything the build stamps: it is taken from the
# environment when set, else from the time of the commit being built. Source and build folders
# are mapped out of debug information and file names, so two clones at different paths agree.

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(FERROLINK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE FERROLINK_SOURCE_DATE_EPOCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE git_status)
  if(NOT git_status EQUAL 0 OR FERROLINK_SOURCE_DATE_EPOCH STREQUAL "")
    # Not a git checkout (an unpacked source archive): a fixed date rather than the build's.
    set(FERROLINK_SOURCE_DATE_EPOCH 0)
  else()
    # A new commit or checkout appends to HEAD's reflog: configure again to take its time.
    execute_process(COMMAND git rev-parse --path-format=absolute --git-path logs/HEAD
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                    OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(EXISTS "${head_log}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${head_log}")
    endif()
  endif()
endif()
if(NOT FERROLINK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds, not '${FERROLINK_SOURCE_DATE_EPOCH}'")
endif()

# The build folder is mapped before the source folder because it lies inside it (build/<preset>):
# GCC and clang try the map given last first.
if(NOT MSVC)
  add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                      -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
endif()

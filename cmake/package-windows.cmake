# Release archive of the Windows executable: cmake --build --preset windows --target package
# gives build/windows/packages/ferrolink-<version>-windows-x64.zip and its .sha256. The zip is
# written by zip_release.py rather than CPack, whose archives carry the build's file times, the
# folder's order and the builder's user ids: this one is the same for every build of a commit.
# Its files sit at its top, in no folder: unpacked into C:\Ferrolink, the program is C:\Ferrolink\ferrolink.exe.
install(TARGETS ferrolink RUNTIME DESTINATION .)
install(FILES README.md CHANGELOG.md LICENSE docs/windows.md DESTINATION .)

# Python is needed for the zip only, not to build the executable (scripts/demo goes without it).
find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_FOUND)
  add_custom_target(package COMMAND ${CMAKE_COMMAND} -E echo "The release zip needs python3."
                    COMMAND false)
  return()
endif()

set(FERROLINK_ZIP_NAME "ferrolink-${PROJECT_VERSION}-windows-x64")
set(FERROLINK_ZIP "${CMAKE_BINARY_DIR}/packages/${FERROLINK_ZIP_NAME}.zip")
# The administrator's guide goes in beside the README, as windows.md.
set(FERROLINK_ZIP_FILES $<TARGET_FILE:ferrolink> ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/docs/windows.md)
add_custom_command(OUTPUT ${FERROLINK_ZIP} ${FERROLINK_ZIP}.sha256
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/zip_release.py ${FERROLINK_ZIP}
          ${FERROLINK_SOURCE_DATE_EPOCH} ${FERROLINK_ZIP_FILES}
  DEPENDS ferrolink ${FERROLINK_ZIP_FILES} ${PROJECT_SOURCE_DIR}/cmake/zip_release.py
  COMMENT "Release archive ${FERROLINK_ZIP_NAME}.zip"
  VERBATIM)
add_custom_target(package DEPENDS ${FERROLINK_ZIP} ${FERROLINK_ZIP}.sha256)

# End-to-end tests of the real programs: the host build here, ferrolink.exe under Wine.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(FERROLINK_WINDOWS_BUILD "${PROJECT_SOURCE_DIR}/build/windows"
    CACHE PATH "Build folder of the windows preset, for the tests under Wine")

set(E2E_ENV
  "FERROLINK_HOST_EXE=$<TARGET_FILE:ferrolink>"
  "FERROLINK_WINDOWS_EXE=${FERROLINK_WINDOWS_BUILD}/ferrolink.exe"
  "FERROLINK_PROBE=${FERROLINK_WINDOWS_BUILD}/tests/probe.exe"
  "FERROLINK_ANSI_EXE=${FERROLINK_WINDOWS_BUILD}/tests/ferrolink_ansi.exe"
  "FERROLINK_E2E_DIR=${CMAKE_BINARY_DIR}/e2e"
  "PYTHONDONTWRITEBYTECODE=1")

# Registers one unittest target of tests/e2e as a CTest test.
function(ferrolink_e2e name target labels)
  add_test(NAME ${name}
    COMMAND ${Python3_EXECUTABLE} -m unittest -v ${target}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${E2E_ENV}" LABELS "${labels}" TIMEOUT 900)
endfunction()

ferrolink_e2e(e2e_host_console test_console.HostConsoleTest "e2e")
ferrolink_e2e(e2e_wine_console test_console.WineConsoleTest "wine")
ferrolink_e2e(e2e_wine_service test_wine_service "wine")

# Soak, short form: many jobs of random sizes and behaviours against one relay.
add_test(NAME soak_host
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak.py --platform host --jobs 500)
add_test(NAME soak_wine
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak.py --platform wine --jobs 300)
set_tests_properties(soak_host soak_wine PROPERTIES ENVIRONMENT "${E2E_ENV}" TIMEOUT 1200)
set_tests_properties(soak_host PROPERTIES LABELS "e2e;soak")
set_tests_properties(soak_wine PROPERTIES LABELS "wine;soak")
ferrolink_e2e(e2e_host_hostile test_hostile.HostHostileTest "e2e")
ferrolink_e2e(e2e_wine_hostile test_hostile.WineHostileTest "wine")

# The Linux relay into CUPS queues of a cupsd started by the test.
add_test(NAME e2e_host_cups COMMAND ${Python3_EXECUTABLE} -m unittest -v test_cups
  WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/cups)
set_tests_properties(e2e_host_cups PROPERTIES ENVIRONMENT "${E2E_ENV}" LABELS "e2e;cups" TIMEOUT 600)

# Soak into the relay's CUPS spooler and a private cupsd that keeps few jobs: a job left behind
# turns into refused jobs.
add_test(NAME soak_cups
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak.py --platform cups --jobs 300)
set_tests_properties(soak_cups PROPERTIES ENVIRONMENT "${E2E_ENV}" LABELS "e2e;cups;soak" TIMEOUT 300)

# The README followed as a user guide.
add_test(NAME readme COMMAND ${Python3_EXECUTABLE} -m unittest -v test_readme
  WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/readme)
set_tests_properties(readme PROPERTIES ENVIRONMENT "${E2E_ENV}" LABELS "wine;readme" TIMEOUT 900)

# Two clean clones of the checked-out commit, built apart in place and time, give the same bytes.
add_test(NAME repro COMMAND ${Python3_EXECUTABLE} -m unittest -v test_repro
  WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/repro)
set_tests_properties(repro PROPERTIES ENVIRONMENT "${E2E_ENV}" LABELS "repro" TIMEOUT 1800)

# The Linux package: lintian and the manual page, then its life under a real systemd booted in a
# container over the machine's own root (root, systemd-nspawn and overlayfs needed). Only the plain
# build makes the package that is shipped; the README test builds it in the same folder, so the two
# never run at once.
if(NOT FERROLINK_SANITIZE)
  add_test(NAME systemd COMMAND ${Python3_EXECUTABLE} -m unittest -v test_systemd
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/systemd)
  set_tests_properties(systemd PROPERTIES ENVIRONMENT "${E2E_ENV}" LABELS "e2e;systemd" TIMEOUT 600
    RESOURCE_LOCK debian_package)
  set_tests_properties(readme PROPERTIES RESOURCE_LOCK debian_package)
endif()

# Under a heavy load Wine's service manager now and then loses the control pipe of a service that
# is being stopped (REMOVE then reports error 109): the tests that install and remove services
# never run beside the heaviest test.
set_property(TEST e2e_host_cups e2e_wine_service readme APPEND PROPERTY RESOURCE_LOCK wine_services)

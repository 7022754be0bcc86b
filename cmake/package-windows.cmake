# Release archive of the Windows executable: cmake --build --preset windows --target package
install(TARGETS ferrolink RUNTIME DESTINATION .)
install(FILES README.md CHANGELOG.md DESTINATION .)
install(CODE [[
  file(SHA256 "${CMAKE_INSTALL_PREFIX}/ferrolink.exe" digest)
  file(WRITE "${CMAKE_INSTALL_PREFIX}/SHA256SUMS" "${digest}  ferrolink.exe\n")
]])

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ferrolink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "ferrolink-${PROJECT_VERSION}-windows-x64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)

# Debian package of the host build: cmake --build --preset host --target package
install(TARGETS ferrolink RUNTIME DESTINATION bin)
install(FILES packaging/linux/ferrolink@.service DESTINATION lib/systemd/system)
install(FILES README.md CHANGELOG.md DESTINATION share/doc/ferrolink)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ferrolink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Korvanta Ferrolink developers <ferrolink@korvanta.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Raw port-9100 print relay into CUPS queues")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Nothing starts at installation; removal stops and disables every instance first.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/linux/prerm ${PROJECT_SOURCE_DIR}/packaging/linux/postrm)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)

# Debian package of the host build: cmake --build --preset host --target package gives
# build/host/packages/ferrolink_<version>_<architecture>.deb, built by packaging/linux/build-deb
# from a staged tree (lintian-clean and reproducible, which CPack's generator is not). It ships
# build/host/packaged/ferrolink, whose default spooler is CUPS, and ferrolink-start.
install(TARGETS ferrolink_packaged RUNTIME DESTINATION bin)
install(FILES packaging/linux/ferrolink@.service packaging/linux/ferrolink@.socket DESTINATION lib/systemd/system)
install(TARGETS ferrolink_start RUNTIME DESTINATION lib/ferrolink)
install(FILES packaging/linux/logrotate DESTINATION /etc/logrotate.d RENAME ferrolink)
install(FILES packaging/linux/ferrolink.8 DESTINATION share/man/man8)
install(FILES README.md CHANGELOG.md DESTINATION share/doc/ferrolink)

add_custom_target(package
  COMMAND ${PROJECT_SOURCE_DIR}/packaging/linux/build-deb $<TARGET_FILE:ferrolink_packaged> ${PROJECT_SOURCE_DIR}
          ${CMAKE_BINARY_DIR}/packages ${PROJECT_VERSION} ${CMAKE_BINARY_DIR}/deb-stage
          $<TARGET_FILE:ferrolink_start>
  DEPENDS ferrolink_packaged ferrolink_start
  COMMENT "Building the Debian package"
  VERBATIM)

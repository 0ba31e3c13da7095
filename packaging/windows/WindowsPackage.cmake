# The Windows package is one folder, zipped: the programs, the DLLs and Qt plugins they load, the
# qss data and config.ini beside them, and the two scripts that add or remove the log-on entry.
#   cmake --install build-win --prefix <folder>      or      cmake --build build-win --target windows_zip
install(TARGETS qorv-utility-service qorvctl RUNTIME DESTINATION .)
# Qt's test library is for the tests only.
set(QORV_PACKAGE_DLLS ${QORV_WINDOWS_DLLS})
list(FILTER QORV_PACKAGE_DLLS EXCLUDE REGEX "Qt5Test\\.dll$")
install(FILES ${QORV_PACKAGE_DLLS} DESTINATION .)
foreach(plugin ${QORV_WINDOWS_PLUGINS})
  get_filename_component(dir ${plugin} DIRECTORY)
  if(EXISTS ${QORV_WINDOWS_PREFIX}/qt/plugins/${plugin})
    install(FILES ${QORV_WINDOWS_PREFIX}/qt/plugins/${plugin} DESTINATION ${dir})
  endif()
endforeach()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/qss DESTINATION . PATTERN .gitkeep EXCLUDE)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/config.ini ${CMAKE_SOURCE_DIR}/README.md
              windows/start-at-logon.cmd windows/stop-starting-at-logon.cmd DESTINATION .)

set(QORV_WINDOWS_ZIP ${CMAKE_BINARY_DIR}/qorv-utility-service-${PROJECT_VERSION}-windows-x86_64.zip)
add_custom_target(windows_zip
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/package
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --strip --prefix ${CMAKE_BINARY_DIR}/package/qorv-utility-service
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/package
          ${CMAKE_COMMAND} -E tar cf ${QORV_WINDOWS_ZIP} --format=zip qorv-utility-service
  DEPENDS qorv-utility-service qorvctl
  COMMENT "Packing ${QORV_WINDOWS_ZIP}"
  VERBATIM)

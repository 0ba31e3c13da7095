# A Windows build puts every program in <build>/bin and copies beside them the DLLs they load and
# the Qt plugins they need, so Wine (or Windows) runs them in place as it runs the installed ones.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(QORV_WINDOWS_DLLS)
foreach(module Core Gui Widgets Network Concurrent Test)
  list(APPEND QORV_WINDOWS_DLLS ${QORV_WINDOWS_PREFIX}/qt/bin/Qt5${module}.dll)
endforeach()
file(GLOB prefix_dlls ${QORV_WINDOWS_PREFIX}/bin/*.dll)
list(APPEND QORV_WINDOWS_DLLS ${prefix_dlls})
set(QORV_WINDOWS_PLUGINS platforms/qwindows.dll platforms/qoffscreen.dll imageformats/qjpeg.dll
                         imageformats/qico.dll imageformats/qgif.dll styles/qwindowsvistastyle.dll)
file(COPY ${QORV_WINDOWS_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
foreach(plugin ${QORV_WINDOWS_PLUGINS})
  get_filename_component(dir ${plugin} DIRECTORY)
  if(EXISTS ${QORV_WINDOWS_PREFIX}/qt/plugins/${plugin})
    file(COPY ${QORV_WINDOWS_PREFIX}/qt/plugins/${plugin} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${dir})
  endif()
endforeach()
# Windows 10 interfaces, wide-character functions, and no min/max macros to clash with std::min.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX)

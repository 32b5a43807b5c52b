# The Windows distribution, `cpack` in a Windows build folder: a zip of the installation
# (MavoZARP-VERSION-windows-ARCH.zip) and an installer of the same files
# (MavoZARP-VERSION-windows-ARCH-setup.exe), made by Debian's makensis from
# cmake/windows/NSIS.template.in.

# Per pointer size: the architecture as file names give it, the installer's own architecture
# (a 64-bit installer sees the 64-bit Program Files and registry), and where it installs.
set(windows_8 x86_64 amd64-unicode "$PROGRAMFILES64")
set(windows_4 i686 x86-unicode "$PROGRAMFILES")
list(GET windows_${CMAKE_SIZEOF_VOID_P} 0 MAVOZARP_WINDOWS_ARCHITECTURE)
list(GET windows_${CMAKE_SIZEOF_VOID_P} 1 CPACK_MAVOZARP_NSIS_TARGET)
list(GET windows_${CMAKE_SIZEOF_VOID_P} 2 CPACK_NSIS_INSTALL_ROOT)

# Beside the licence, what each file is and how to start, with Windows' line ends for Notepad.
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/README.txt.in ${PROJECT_BINARY_DIR}/README.txt
  @ONLY NEWLINE_STYLE WIN32)
install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT licence)

# The documentation: the pages of docs/ as they are in the sources (Markdown, plain text any
# editor shows, with the dashboard's picture), in a docs folder, and the project's README they
# link back to (../README.md) beside it; README.txt lists them.
file(GLOB MAVOZARP_WINDOWS_DOCUMENTS CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${MAVOZARP_WINDOWS_DOCUMENTS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
  COMPONENT licence)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT licence)

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME MavoZARP)
set(CPACK_PACKAGE_VENDOR "The MavoZARP developers")
set(CPACK_PACKAGE_FILE_NAME
  MavoZARP-${PROJECT_VERSION}-windows-${MAVOZARP_WINDOWS_ARCHITECTURE})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/windows/setup-file-name.cmake)
set(CPACK_STRIP_FILES ON)
# The installer holds one set of files, not components to choose from.
set(CPACK_MONOLITHIC_INSTALL ON)
# One entry in Add/Remove Programs per architecture, replaced by a later version's installer.
set(CPACK_PACKAGE_INSTALL_DIRECTORY MavoZARP)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY MavoZARP)
set(CPACK_NSIS_DISPLAY_NAME "MavoZARP ${PROJECT_VERSION} (${MAVOZARP_WINDOWS_ARCHITECTURE})")
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/windows)
include(CPack)

# The C# binding, beside the header it mirrors: the one file a .NET project adds to use the DLL.
install(FILES ${PROJECT_SOURCE_DIR}/bindings/csharp/MavoZARP.cs
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

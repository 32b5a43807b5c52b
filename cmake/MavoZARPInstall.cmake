# Installation with the usual folders (GNUInstallDirs). Every rule names its component, one per
# Debian package: runtime (the shared library), development (header, link, CMake package,
# pkg-config file), tools (tool, launcher, emulated adapter library, manual pages, completion).
include(CMakePackageConfigHelpers)

# Adapter libraries we ship are loaded by the plain name a real adapter library has: each lives in
# a folder of its own below this one, never in the default library folder, where it would shadow
# the real one for every program on the system.
set(MAVOZARP_INSTALL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/mavozarp)
set(MAVOZARP_INSTALL_FULL_PRIVATE_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR}/mavozarp)

# Installed programs find the library through the loader's default path; in any other prefix,
# through a path relative to themselves, so that the prefix can still be moved or chosen at
# install time.
list(FIND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} system_libdir)
if(system_libdir EQUAL -1 AND NOT WIN32)
  file(RELATIVE_PATH libdir_from_bindir ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set(CMAKE_INSTALL_RPATH "$ORIGIN/${libdir_from_bindir}")
endif()

install(TARGETS MavoZARP EXPORT MavoZARPTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/MavoZARP.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
# The licence, in a component of its own: each Debian package carries it as its copyright.
# Windows opens a file by its extension.
set(licence_file LICENSE)
if(WIN32)
  set(licence_file LICENSE.txt)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME ${licence_file}
  COMPONENT licence)

# CMake package: find_package(MavoZARP 2.1) gives MavoZARP::MavoZARP; another major version does
# not fit.
set(MAVOZARP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MavoZARP)
install(EXPORT MavoZARPTargets NAMESPACE MavoZARP:: DESTINATION ${MAVOZARP_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/MavoZARPConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MavoZARPConfig.cmake INSTALL_DESTINATION ${MAVOZARP_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MavoZARPConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MavoZARPConfig.cmake
  ${PROJECT_BINARY_DIR}/MavoZARPConfigVersion.cmake
  DESTINATION ${MAVOZARP_CMAKE_DIR} COMPONENT development)

# pkg-config file. Written at install time, so that it names the prefix actually installed into
# (cmake --install --prefix DIR), which may differ from the one configured.
if(NOT WIN32)
  set(MAVOZARP_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
  foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(MAVOZARP_PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
      set(MAVOZARP_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
  endforeach()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/mavozarp.pc.in ${PROJECT_BINARY_DIR}/mavozarp.pc.in
    @ONLY)
  install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/mavozarp.pc.in\"
                               \"${PROJECT_BINARY_DIR}/mavozarp.pc\" @ONLY)"
    COMPONENT development)
  install(FILES ${PROJECT_BINARY_DIR}/mavozarp.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
endif()

# Manual page of an installed program, made from its own --help by help2man once it is built,
# and compressed as manual pages are installed. The sections --help does not hold (each
# subcommand's help, the presets) come from the program too (manual-page-sections.cmake), the rest
# from cmake/manual-page-NAME.h2m and the common cmake/manual-page-common.h2m. Programs of a cross
# build cannot run here: they get none.
find_program(MAVOZARP_HELP2MAN help2man
  DOC "help2man (Debian package help2man), which makes the manual pages")
find_program(MAVOZARP_GZIP gzip)
function(mavozarp_manual_page target component description)
  if(CMAKE_CROSSCOMPILING OR WIN32)
    return()
  endif()
  if(NOT MAVOZARP_HELP2MAN OR NOT MAVOZARP_GZIP)
    message(STATUS "No manual page for ${target}: help2man or gzip not found")
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  set(sections ${CMAKE_CURRENT_BINARY_DIR}/${target}-sections.h2m)
  file(GLOB handwritten ${PROJECT_SOURCE_DIR}/cmake/manual-page-*.h2m)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DNAME=${target}
      -DPAGES=${PROJECT_SOURCE_DIR}/cmake -DOUTPUT=${sections}
      -P ${PROJECT_SOURCE_DIR}/cmake/manual-page-sections.cmake
    COMMAND ${MAVOZARP_HELP2MAN} --no-info --no-discard-stderr --section 1
      --name "${description}" --version-string ${PROJECT_VERSION}
      --include ${sections}
      --include ${PROJECT_SOURCE_DIR}/cmake/manual-page-common.h2m
      --output ${page} $<TARGET_FILE:${target}>
    COMMAND ${MAVOZARP_GZIP} -9nf ${page}
    DEPENDS ${target} ${handwritten} ${PROJECT_SOURCE_DIR}/cmake/manual-page-sections.cmake
    COMMENT "Manual page ${target}(1)")
  add_custom_target(${target}_manual_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# Debian packages, one per install component: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr. Components without a row here, or without files, make no package.
set(MAVOZARP_PACKAGE_MAINTAINER "The MavoZARP developers <developers@mavozarp.invalid>" CACHE STRING
  "Maintainer named in the Debian packages")
set(MAVOZARP_DEBIAN_RELEASE 1)
set(debian_version ${PROJECT_VERSION}-${MAVOZARP_DEBIAN_RELEASE})
set(runtime_package libmavozarp${PROJECT_VERSION_MAJOR})
set(about_library
  "MavoZARP is the library through which a host program controls laser power"
  "supplies and the laser heads on them: supplies on USB-to-I2C adapters, behind"
  "a UART-to-I2C bridge or taking text commands on a serial port, and a simulated"
  "head that needs no hardware.")

# One row per component: its package, section, architecture ("any" for the machine's own),
# dependencies beyond those found in its binaries, summary and description. The description comes
# as one argument per line, so a line must not hold a ";" (CMake would split the line there).
function(mavozarp_debian_package component package section architecture depends summary)
  string(TOUPPER ${component} key)  # as CPack names it: FTDI-ADAPTER for ftdi-adapter
  set(CPACK_DEBIAN_${key}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${key}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  if(NOT architecture STREQUAL "any")
    set(CPACK_DEBIAN_${key}_PACKAGE_ARCHITECTURE ${architecture} PARENT_SCOPE)
  endif()
  set(CPACK_DEBIAN_${key}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
  list(JOIN ARGN "\n" description)
  set(CPACK_DEBIAN_${key}_DESCRIPTION "${summary}\n${description}" PARENT_SCOPE)
  set_property(GLOBAL APPEND PROPERTY MAVOZARP_DEBIAN_COMPONENTS ${component})
  set_property(GLOBAL PROPERTY MAVOZARP_DEBIAN_PACKAGE_${component} ${package})
endfunction()

mavozarp_debian_package(runtime ${runtime_package} libs any ""
  "control of laser power supplies and their heads - library"
  ${about_library} "This package holds the shared library.")
mavozarp_debian_package(development libmavozarp-dev libdevel any
  "${runtime_package} (= ${debian_version})"
  "control of laser power supplies and their heads - development files"
  ${about_library}
  "This package holds the C header, the link for the linker, the CMake package"
  "(find_package(MavoZARP)) and the pkg-config file (mavozarp).")
mavozarp_debian_package(tools mavozarp-tools electronics any
  "${runtime_package} (= ${debian_version})"
  "control of laser power supplies and their heads - tools"
  ${about_library}
  "This package holds the command-line tool mavozarp, with the subcommands"
  "version, scan, ports (the serial ports and which supply answers on each),"
  "send, status, watch, shell (with line editing) and serve (the supplies on the"
  "network: an instrument socket per supply, an HTTP API with a browser"
  "dashboard, Prometheus metrics and a bridge to an MQTT broker). It also holds"
  "the launcher of virtual supplies mavozarp-sim with the emulated adapter"
  "library it serves adapter supplies through (in a private folder, so that it"
  "never shadows a real one), and their manual pages, bash completion and"
  "documentation, the command language's reference among it.")
mavozarp_debian_package(python python3-mavozarp python all
  "${runtime_package} (>= ${PROJECT_VERSION}), python3"
  "control of laser power supplies and their heads - Python package"
  ${about_library} "This package holds the Python package mavozarp.")
mavozarp_debian_package(ftdi-adapter mavozarp-ftdi-adapter electronics any
  "${runtime_package} (>= ${PROJECT_VERSION})"
  "control of laser power supplies and their heads - adapter library over libftdi1"
  ${about_library}
  "This package holds an adapter library over libftdi1 for the USB-to-I2C"
  "adapters (FTDI chips with an MPSSE engine), where the loader finds it, and the"
  "udev rule that lets members of the plugdev group use the adapters.")

# The documentation each package carries in /usr/share/doc/PACKAGE, beside its copyright.
function(mavozarp_debian_documents component)
  list(TRANSFORM ARGN PREPEND ${PROJECT_SOURCE_DIR}/)
  set_property(GLOBAL PROPERTY MAVOZARP_DEBIAN_DOCUMENTS_${component} ${ARGN})
endfunction()
mavozarp_debian_documents(runtime README.md)
mavozarp_debian_documents(development docs/building.md docs/architecture.md)
mavozarp_debian_documents(tools README.md docs/tool.md docs/commands.md docs/virtual-supplies.md
  docs/service.md docs/dashboard.md docs/dashboard.png docs/dashboard-panel.png docs/mqtt.md
  docs/reliability.md)
mavozarp_debian_documents(python docs/python.md docs/host-languages.md)
mavozarp_debian_documents(ftdi-adapter docs/ftdi-adapter.md)

# Packages only for the components that install something.
get_cmake_property(installed_components COMPONENTS)
get_property(described_components GLOBAL PROPERTY MAVOZARP_DEBIAN_COMPONENTS)
set(CPACK_COMPONENTS_ALL)
foreach(component IN LISTS described_components)
  if(component IN_LIST installed_components)
    list(APPEND CPACK_COMPONENTS_ALL ${component})
  endif()
endforeach()

# Every Debian package carries its copyright and changelog in its own documentation folder. Only
# packages get them (EXCLUDE_FROM_ALL): a plain installation has the licence once, in its
# documentation folder.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  get_property(package GLOBAL PROPERTY MAVOZARP_DEBIAN_PACKAGE_${component})
  set(changelog_dir ${PROJECT_BINARY_DIR}/debian-changelog/${package})
  file(WRITE ${changelog_dir}/changelog.Debian
    "${package} (${debian_version}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n"
    " -- ${MAVOZARP_PACKAGE_MAINTAINER}  ${changelog_date}\n")
  file(ARCHIVE_CREATE OUTPUT ${changelog_dir}/changelog.Debian.gz
    PATHS ${changelog_dir}/changelog.Debian FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9)
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${doc_dir} RENAME copyright
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(FILES ${changelog_dir}/changelog.Debian.gz DESTINATION ${doc_dir}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  get_property(documents GLOBAL PROPERTY MAVOZARP_DEBIAN_DOCUMENTS_${component})
  if(documents)
    install(FILES ${documents} DESTINATION ${doc_dir} COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endforeach()

# The run-time library tells the loader's cache to refresh, and tells dpkg-shlibdeps which
# package provides it. Its shlibs file is written here rather than generated: CPack would
# generate one for every package and warn about the adapter libraries, which are plug-ins loaded
# by their plain name (their soname is that name, with no version, so that a host's copy already
# loaded is the one the library gets), linked against by nothing, and have no place in a shlibs
# file.
file(WRITE ${PROJECT_BINARY_DIR}/debian-runtime/triggers "activate-noawait ldconfig\n")
file(WRITE ${PROJECT_BINARY_DIR}/debian-runtime/shlibs
  "libMavoZARP ${PROJECT_VERSION_MAJOR} ${runtime_package} (>= ${debian_version})\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/debian-runtime/triggers ${PROJECT_BINARY_DIR}/debian-runtime/shlibs)
# The adapter library: the same refresh of the loader's cache; its udev rule reloaded.
set(debian_ftdi_adapter ${CMAKE_CURRENT_LIST_DIR}/debian-ftdi-adapter)
set(CPACK_DEBIAN_FTDI-ADAPTER_PACKAGE_CONTROL_EXTRA
  ${debian_ftdi_adapter}/triggers ${debian_ftdi_adapter}/postinst ${debian_ftdi_adapter}/postrm)
set(CPACK_DEBIAN_FTDI-ADAPTER_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mavozarp)
# Each package's summary is the first line of its own description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VENDOR "The MavoZARP developers")
set(CPACK_PACKAGE_CONTACT "${MAVOZARP_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${MAVOZARP_DEBIAN_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds our own library, which the tools link, in the build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
include(CPack)

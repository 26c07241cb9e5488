# Installation, the CMake package, pkg-config files and the Debian packages.
#
# Components: runtime (the versioned libraries -- the driver, the bridge
# library and the open provider on libftdi1 -- the udev rules and the docs),
# dev (namelinks, headers, CMake package, qolven_usb.pc, qolven_ftdi1.pc), sim
# (the simulated bridge with its header, CMake targets and qolven_d2xx_sim.pc),
# python (the qolven Python package) and tools (installed by tools/ itself).
include(CMakePackageConfigHelpers)

set(QOLVEN_INSTALL_CMAKEDIR "" CACHE STRING "Where the CMake package files go (default: LIBDIR/cmake/QolvenUsb)")
if(NOT QOLVEN_INSTALL_CMAKEDIR)
  # Follows a changed prefix, which may move the library directory.
  set(QOLVEN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/QolvenUsb)
endif()
set(QOLVEN_INSTALL_UDEVDIR lib/udev/rules.d
    CACHE STRING "Where the udev rules go, relative to the prefix")
# Debian's place for packages of every Python 3 version; with another prefix
# `pip install ./python` is the simpler way (docs/python.md).
set(QOLVEN_INSTALL_PYTHONDIR lib/python3/dist-packages
    CACHE STRING "Where the Python package goes, relative to the prefix")
set(QOLVEN_PACKAGE_MAINTAINER "Qolven USB driver maintainers <qolven-usb@qolven.invalid>"
    CACHE STRING "Maintainer field of the Debian packages")
set(QOLVEN_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")
set(_qolven_runtime_package libqolven-usb${PROJECT_VERSION_MAJOR})

# The .pc files are written at install time: the prefix is only known then
# (cmake --install --prefix, or /usr when CPack stages a package).
function(qolven_install_pkgconfig name component)
  foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(pc_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
      set(pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
  endforeach()
  set(generated ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc)
  install(CODE "
    set(QOLVEN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(QOLVEN_PC_LIBDIR [[${pc_LIBDIR}]])
    set(QOLVEN_PC_INCLUDEDIR [[${pc_INCLUDEDIR}]])
    set(QOLVEN_PC_VERSION ${PROJECT_VERSION})
    configure_file([[${PROJECT_SOURCE_DIR}/cmake/${name}.pc.in]] [[${generated}]] @ONLY)
  " COMPONENT ${component})
  install(FILES ${generated} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${component})
endfunction()

# ---- the driver library
install(TARGETS qolven_usb EXPORT QolvenUsbTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(TARGETS qolven_bridge EXPORT QolvenUsbTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/include/QOLVEN_USB_DLL.h ${PROJECT_SOURCE_DIR}/include/QOLVEN_FTD2XX.h
  ${PROJECT_SOURCE_DIR}/include/qolven.h ${PROJECT_SOURCE_DIR}/include/qolven_bridge.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT QolvenUsbTargets NAMESPACE QolvenUsb:: DESTINATION ${QOLVEN_INSTALL_CMAKEDIR} COMPONENT dev)
qolven_install_pkgconfig(qolven_usb dev)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QolvenUsbConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/QolvenUsbConfig.cmake
  INSTALL_DESTINATION ${QOLVEN_INSTALL_CMAKEDIR})
# Not architecture-independent: a 64-bit consumer must not pick up the i386 package.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/QolvenUsbConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/QolvenUsbConfig.cmake ${PROJECT_BINARY_DIR}/cmake/QolvenUsbConfigVersion.cmake
  DESTINATION ${QOLVEN_INSTALL_CMAKEDIR} COMPONENT dev)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-qolven-usb.rules
  DESTINATION ${QOLVEN_INSTALL_UDEVDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/99-qolven-usb-unbind.rules.example
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
# The docs link to each other by file name, so they stay in one directory.
file(GLOB _qolven_docs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
if(NOT _qolven_docs)
  message(FATAL_ERROR "no documentation in ${PROJECT_SOURCE_DIR}/docs")
endif()
install(FILES ${_qolven_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

# ---- the simulated bridge: everything a host's own tests need in one component
if(TARGET qolven_d2xx_sim)
  install(TARGETS qolven_d2xx_sim EXPORT QolvenUsbSimTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sim NAMELINK_COMPONENT sim)
  install(FILES ${PROJECT_SOURCE_DIR}/sim/include/qolven_sim.h ${PROJECT_SOURCE_DIR}/sim/include/qolven_sim_c.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sim)
  install(EXPORT QolvenUsbSimTargets NAMESPACE QolvenUsb:: DESTINATION ${QOLVEN_INSTALL_CMAKEDIR} COMPONENT sim)
  qolven_install_pkgconfig(qolven_d2xx_sim sim)
  install(TARGETS qolven-sim-board RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
endif()

# ---- the open provider on libftdi1: real hardware with Debian's packages only,
# beside the udev rules that give the user the bridge's device node
if(TARGET qolven_ftdi1)
  install(TARGETS qolven_ftdi1 EXPORT QolvenUsbFtdi1Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
  install(EXPORT QolvenUsbFtdi1Targets NAMESPACE QolvenUsb:: DESTINATION ${QOLVEN_INSTALL_CMAKEDIR} COMPONENT dev)
  qolven_install_pkgconfig(qolven_ftdi1 dev)
endif()

# ---- the Python package: pure Python over the C interface, the same on every architecture
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/qolven DESTINATION ${QOLVEN_INSTALL_PYTHONDIR} COMPONENT python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

# ---- Debian packages
# Only components that have something to install get a package (tools/ may be
# switched off or not there yet).
get_cmake_property(_qolven_components COMPONENTS)
set(CPACK_COMPONENTS_ALL)
foreach(component runtime dev sim python tools)
  if(component IN_LIST _qolven_components)
    list(APPEND CPACK_COMPONENTS_ALL ${component})
  endif()
endforeach()

if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
endif()

# dpkg-shlibdeps cannot be used: it resolves 32-bit libraries of a multilib
# host to the wrong packages, and it knows nothing of our own sonames.  The
# floors are the C library and compiler we build with.
execute_process(COMMAND getconf GNU_LIBC_VERSION OUTPUT_VARIABLE _qolven_glibc OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET)
string(REGEX MATCH "[0-9]+\\.[0-9]+" _qolven_glibc "${_qolven_glibc}")
string(REGEX MATCH "^[0-9]+" _qolven_gcc "${CMAKE_CXX_COMPILER_VERSION}")
if(_qolven_glibc)
  set(_qolven_cxx_depends "libc6 (>= ${_qolven_glibc})")
else()
  set(_qolven_cxx_depends "libc6")
endif()
string(APPEND _qolven_cxx_depends ", libstdc++6 (>= ${_qolven_gcc}), libgcc-s1")
set(_qolven_exact "(= ${PROJECT_VERSION}-${QOLVEN_PACKAGE_RELEASE})")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qolven-usb)
set(CPACK_PACKAGE_VENDOR "Qolven")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QOLVEN_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QOLVEN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# shlibs files for both libraries; CPack adds ldconfig calls to the packages
# that have no postinst of their own.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_qolven_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${_qolven_cxx_depends}")
if(TARGET qolven_ftdi1)
  string(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS ", libftdi1-2 (>= 1.5), libusb-1.0-0 (>= 2:1.0.21)")
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
string(JOIN "\n" CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Driver library for Qolven strain-gauge amplifier boards"
  "Drives amplifier boards, USB modules and handheld displays behind an FTDI"
  "USB-to-serial bridge (0403:6001). The FTDI D2XX library is not a dependency:"
  "the host program supplies it, or uses libqolven_ftdi1, the D2XX functions"
  "on Debian's libftdi1 included here. Includes udev rules for the bridges and"
  "the documentation of the library and the qolven tool.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqolven-usb-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} ${_qolven_exact}")
string(JOIN "\n" CPACK_COMPONENT_DEV_DESCRIPTION
  "Development files of the Qolven strain-gauge driver library"
  "Headers, the CMake package QolvenUsb (target QolvenUsb::qolven_usb) and the"
  "pkg-config file qolven_usb.pc.")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME libqolven-d2xx-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "${_qolven_cxx_depends}")
set(CPACK_DEBIAN_SIM_PACKAGE_RECOMMENDS "${CPACK_DEBIAN_DEV_PACKAGE_NAME} ${_qolven_exact}")
string(JOIN "\n" CPACK_COMPONENT_SIM_DESCRIPTION
  "Simulated FTDI bridge with virtual Qolven boards"
  "A stand-in for the D2XX library that answers from virtual devices, so that"
  "a host can run its own tests without hardware. CMake target"
  "QolvenUsb::qolven_d2xx_sim, pkg-config file qolven_d2xx_sim.pc. The program"
  "qolven-sim-board serves one virtual board on a socket, for QEMU's emulated"
  "FTDI chip.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-qolven)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# The package loads the library with ctypes: any build of this version will do.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.7), ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "${CPACK_DEBIAN_SIM_PACKAGE_NAME} (>= ${PROJECT_VERSION})")
string(JOIN "\n" CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Python package for Qolven strain-gauge amplifier boards"
  "The qolven package drives the boards from Python through the driver"
  "library's C interface (ctypes, no compiled extension): parameters as"
  "attributes, readings, fast-data streams (numpy arrays when numpy is"
  "installed), and the virtual boards of the simulated bridge for tests.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME qolven-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} ${_qolven_exact}, ${_qolven_cxx_depends}")
# The Debian packages of the shared libraries serve and publish link: the
# package that holds the file the build linked.
function(_qolven_tool_depends library)
  get_filename_component(_real "${library}" REALPATH)
  execute_process(COMMAND dpkg-query -S "${_real}" OUTPUT_VARIABLE _owner ERROR_QUIET RESULT_VARIABLE _rc)
  if(_rc EQUAL 0)
    string(REGEX REPLACE "^([^:,]+).*$" "\\1" _package "${_owner}")
    string(STRIP "${_package}" _package)
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS}, ${_package}" PARENT_SCOPE)
  endif()
endfunction()
if(TARGET qolven_server)
  find_library(QOLVEN_HTTPLIB_LIBRARY cpp-httplib)
  if(QOLVEN_HTTPLIB_LIBRARY)
    _qolven_tool_depends(${QOLVEN_HTTPLIB_LIBRARY})
  endif()
endif()
if(TARGET qolven_publish)
  _qolven_tool_depends(${QOLVEN_PAHO_ASYNC})
endif()
# The tool loads the simulated bridge for --simulate.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "${CPACK_DEBIAN_SIM_PACKAGE_NAME} ${_qolven_exact}")
string(JOIN "\n" CPACK_COMPONENT_TOOLS_DESCRIPTION
  "Command-line tool for Qolven strain-gauge amplifier boards"
  "The qolven program lists bridges, identifies boards, reads and streams"
  "counts and reads and writes parameters.")

# `make package_source`: the tracked sources, not the build trees beside them.
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/")

include(CPack)

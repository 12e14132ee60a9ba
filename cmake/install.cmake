# What `cmake --install` lays out under any prefix, and the Debian package
# that `cpack -G DEB` makes of it:
#
#   bin/                      hlc_edr, hlc_edr_dump, hlc_edr_quicklook,
#                             hlc_edr_batch, hlc_edr_live, tlmbuild
#   lib/                      libhlc_edr.a and libhlc_edr.so (with its soname):
#                             the record modules and their registry
#   include/hlc_edr/          the record headers, hlc_edr_const.h, the module
#                             operations (<module>_api.h), hlc_edr_layout.h
#   lib/pkgconfig/hlc_edr.pc  what a C reader compiles and links with
#   lib/cmake/hlc_edr/        find_package(hlc_edr): hlc_edr::hlc_edr (shared)
#                             and hlc_edr::hlc_edr_static
#   lib/python3.N/dist-packages/hlc_edr (and its metadata), where Debian's
#                             python3 finds it under /usr and /usr/local
#   share/man/man1/           a man page per program
#
# Everything installed is found from where it lies (the pkg-config file and
# the CMake package from their own folders, the tools from theirs), so an
# installed tree may be moved; nothing refers to the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(HLC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/hlc_edr)
set(HLC_INSTALL_INCLUDE ${CMAKE_INSTALL_INCLUDEDIR}/hlc_edr)

# ---- the record library ------------------------------------------------------

add_library(hlc_edr_shared SHARED ${HLC_MODULE_OBJECTS} $<TARGET_OBJECTS:module_products>)
set_target_properties(
  hlc_edr_shared
  PROPERTIES OUTPUT_NAME hlc_edr
             EXPORT_NAME hlc_edr
             VERSION ${PROJECT_VERSION}
             SOVERSION ${PROJECT_VERSION_MAJOR}
             LINKER_LANGUAGE C)
target_include_directories(hlc_edr_shared PUBLIC $<BUILD_INTERFACE:${HLC_ETC}>
                                                 $<BUILD_INTERFACE:${HLC_INCLUDE}>
                                                 $<INSTALL_INTERFACE:${HLC_INSTALL_INCLUDE}>)
target_link_libraries(hlc_edr_shared PUBLIC hdf4)
set_target_properties(hlc_records PROPERTIES EXPORT_NAME hlc_edr_static)

install(TARGETS hlc_records hlc_edr_shared hdf4
        EXPORT hlc_edr_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${HLC_INSTALL_INCLUDE})
file(GLOB HLC_PUBLIC_HEADERS ${HLC_ETC}/*.h ${HLC_INCLUDE}/*.h)
install(FILES ${HLC_PUBLIC_HEADERS} DESTINATION ${HLC_INSTALL_INCLUDE})

install(EXPORT hlc_edr_targets NAMESPACE hlc_edr:: DESTINATION ${HLC_CMAKE_DIR}
        FILE hlc_edrTargets.cmake)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/hlc_edrConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/hlc_edrConfig.cmake
                              INSTALL_DESTINATION ${HLC_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/hlc_edrConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hlc_edrConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/hlc_edrConfigVersion.cmake
        DESTINATION ${HLC_CMAKE_DIR})

# HDF4's headers and libraries, as this build found them, for the
# pkg-config file.
get_filename_component(HLC_HDF4_LIBDIR ${HDF4_MFHDF_LIBRARY} DIRECTORY)
# The prefix, from the folder of the installed file.
file(RELATIVE_PATH HLC_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${CMAKE_CURRENT_LIST_DIR}/hlc_edr.pc.in ${CMAKE_CURRENT_BINARY_DIR}/hlc_edr.pc
               @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hlc_edr.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- the programs and the Python package --------------------------------------

install(TARGETS hlc_edr hlc_edr_dump tlmbuild RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/hlc_edr_quicklook ${CMAKE_SOURCE_DIR}/tools/hlc_edr_batch
                 ${CMAKE_SOURCE_DIR}/tools/hlc_edr_live
        DESTINATION ${CMAKE_INSTALL_BINDIR})

# The version of Debian's python3, which the tools run with.
find_program(HLC_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(HLC_PYTHON3 python3)
execute_process(COMMAND ${HLC_PYTHON3} -c "import sys; print('%d.%d' % sys.version_info[:2])"
                OUTPUT_VARIABLE HLC_PYTHON_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT HLC_PYTHON_VERSION)
  set(HLC_PYTHON_VERSION 3)
endif()
set(HLC_PYTHON_DIR lib/python${HLC_PYTHON_VERSION}/dist-packages
    CACHE STRING "Where the Python package is installed, under the prefix")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/hlc_edr DESTINATION ${HLC_PYTHON_DIR}
        PATTERN __pycache__ EXCLUDE)
# Its metadata, by which importlib.metadata finds the package and its
# entry points.
set(HLC_DIST_INFO ${CMAKE_CURRENT_BINARY_DIR}/hlc_edr-${PROJECT_VERSION}.dist-info)
configure_file(${CMAKE_CURRENT_LIST_DIR}/python_metadata.in ${HLC_DIST_INFO}/METADATA @ONLY)
if(EXISTS ${CMAKE_SOURCE_DIR}/python/entry_points.txt)
  configure_file(${CMAKE_SOURCE_DIR}/python/entry_points.txt ${HLC_DIST_INFO}/entry_points.txt
                 COPYONLY)
endif()
file(WRITE ${HLC_DIST_INFO}/INSTALLER "cmake\n")
install(DIRECTORY ${HLC_DIST_INFO} DESTINATION ${HLC_PYTHON_DIR})

# ---- man pages ------------------------------------------------------------------

# hlc_edr's and tlmbuild's are written; those of the programs with a --help
# are made from it by help2man.
set(HLC_MAN ${CMAKE_CURRENT_BINARY_DIR}/man)
set(HLC_MAN_PAGES)
foreach(page hlc_edr tlmbuild)
  configure_file(${CMAKE_SOURCE_DIR}/docs/man/${page}.1.in ${HLC_MAN}/${page}.1 @ONLY)
  list(APPEND HLC_MAN_PAGES ${HLC_MAN}/${page}.1)
endforeach()
find_program(HLC_HELP2MAN help2man)
if(HLC_HELP2MAN)
  set(HLC_MAN_hlc_edr_dump_PROGRAM $<TARGET_FILE:hlc_edr_dump>)
  set(HLC_MAN_hlc_edr_dump_DEPENDS hlc_edr_dump)
  set(HLC_MAN_hlc_edr_dump_NAME "list, print and export the products of Halcyon EDR files")
  set(HLC_MAN_hlc_edr_quicklook_PROGRAM ${CMAKE_SOURCE_DIR}/tools/hlc_edr_quicklook)
  file(GLOB_RECURSE HLC_PYTHON_SOURCES ${CMAKE_SOURCE_DIR}/python/*.py)
  set(HLC_MAN_hlc_edr_quicklook_DEPENDS ${HLC_MAN_hlc_edr_quicklook_PROGRAM} ${HLC_PYTHON_SOURCES})
  set(HLC_MAN_hlc_edr_quicklook_NAME "draw quick-look plots of the products of Halcyon EDR files")
  set(HLC_MAN_hlc_edr_batch_PROGRAM ${CMAKE_SOURCE_DIR}/tools/hlc_edr_batch)
  set(HLC_MAN_hlc_edr_batch_DEPENDS ${HLC_MAN_hlc_edr_batch_PROGRAM} ${HLC_PYTHON_SOURCES})
  set(HLC_MAN_hlc_edr_batch_NAME "run hlc_edr over many TLM files and units, with a report")
  set(HLC_MAN_hlc_edr_live_PROGRAM ${CMAKE_SOURCE_DIR}/tools/hlc_edr_live)
  set(HLC_MAN_hlc_edr_live_DEPENDS ${HLC_MAN_hlc_edr_live_PROGRAM} ${HLC_PYTHON_SOURCES})
  set(HLC_MAN_hlc_edr_live_NAME "run hlc_edr over telemetry as it arrives, piece by piece, with a report")
  foreach(page hlc_edr_dump hlc_edr_quicklook hlc_edr_batch hlc_edr_live)
    add_custom_command(
      OUTPUT ${HLC_MAN}/${page}.1
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 ${HLC_HELP2MAN} --no-info
              --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name=${HLC_MAN_${page}_NAME} --output=${HLC_MAN}/${page}.1
              ${HLC_MAN_${page}_PROGRAM}
      DEPENDS ${HLC_MAN_${page}_DEPENDS}
      COMMENT "Writing the man page of ${page}"
      VERBATIM)
    list(APPEND HLC_MAN_PAGES ${HLC_MAN}/${page}.1)
  endforeach()
else()
  message(STATUS "help2man not found: the man pages of hlc_edr_dump, hlc_edr_quicklook, "
                 "hlc_edr_batch and hlc_edr_live are not made")
endif()
add_custom_target(man_pages ALL DEPENDS ${HLC_MAN_PAGES})
install(FILES ${HLC_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- the Debian package ---------------------------------------------------------

set(CPACK_PACKAGE_NAME hlc-edr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "HLC EDR team <edr@hlc.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Halcyon EDR Generator: telemetry of the HLC instruments into HDF4 Experiment Data Records")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The libraries the programs link, as dpkg-shlibdeps finds them, and what the
# Python tools need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3, python3-numpy, python3-matplotlib, python3-pil, python3-xarray, python3-netcdf4, parallel")
include(CPack)

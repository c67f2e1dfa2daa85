# What `cmake --install` and CPack ship: the renderer and the producer tool, the producer
# library (shared and static) with its headers, a CMake package (find_package(vaskel) gives
# vaskel::producer and vaskel::producer_static) and a pkg-config file (vaskel-producer). The
# test, benchmark, fuzz and example targets stay in the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VASKEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vaskel)

install(TARGETS vaskel_renderer vaskel_producer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set_target_properties(vaskel_producer_shared PROPERTIES EXPORT_NAME producer)
set_target_properties(vaskel_producer_static PROPERTIES EXPORT_NAME producer_static)
# A C program that links the static library links with the C driver, which leaves out the C++
# runtime the library needs.
target_link_libraries(vaskel_producer_static INTERFACE $<$<NOT:$<LINK_LANGUAGE:CXX>>:stdc++>
                                                       $<$<NOT:$<LINK_LANGUAGE:CXX>>:m>)
install(TARGETS vaskel_producer_shared vaskel_producer_static EXPORT vaskelTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}  # the DLL, beside the programs
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}  # the .so with its version links
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}  # the static and the import library
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/vaskel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT vaskelTargets NAMESPACE vaskel:: DESTINATION ${VASKEL_CMAKE_DIR})
configure_package_config_file(cmake/vaskelConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/vaskelConfig.cmake
                              INSTALL_DESTINATION ${VASKEL_CMAKE_DIR})
# The library's ABI follows its SOVERSION, the major version.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vaskelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vaskelConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/vaskelConfigVersion.cmake
        DESTINATION ${VASKEL_CMAKE_DIR})

# The prefix is found from the .pc file's own place, so the tree can be moved (a temporary
# prefix, an unpacked zip). Libs.private: what a static link of the C++ library needs.
set(VASKEL_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH VASKEL_PC_PREFIX /${VASKEL_PKGCONFIG_DIR} /)
string(REGEX REPLACE "/$" "" VASKEL_PC_PREFIX "\${pcfiledir}/${VASKEL_PC_PREFIX}")
if(WIN32)
  set(VASKEL_PC_LIBS_PRIVATE "-lstdc++ -lwinmm")
else()
  set(VASKEL_PC_LIBS_PRIVATE "-lstdc++ -lm -lrt")
endif()
configure_file(cmake/vaskel-producer.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vaskel-producer.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vaskel-producer.pc DESTINATION ${VASKEL_PKGCONFIG_DIR})

# Packages: a .deb on Linux, a .zip on Windows, both of this same tree.
set(CPACK_PACKAGE_NAME vaskel)
set(CPACK_PACKAGE_VENDOR "vaskel")
set(CPACK_PACKAGE_CONTACT "vaskel_renderer developers <vaskel@localhost>"
    CACHE STRING "Maintainer named in the packages")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Captures multi-stream audio from shared memory into WAV files; producer library")
set(CPACK_PACKAGE_DESCRIPTION
    "vaskel_renderer drains the rings of a named shared-memory region that a producer process \
fills and writes one bit-exact 32-bit float WAV file per stream. The package holds the \
renderer, the test producer vaskel_producer, and the producer library (C interface, shared and \
static) with its CMake package and pkg-config file.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A shlibs file and the ldconfig trigger, as a package with a shared library has.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
endif()
include(CPack)

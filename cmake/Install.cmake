# What `cmake --install` and CPack ship, in components that become Debian packages:
#   lib     the shared producer library                              libvaskel-producer0
#   dev     headers, .so link, static library, CMake package (find_package(vaskel) gives
#           vaskel::producer and vaskel::producer_static), pkg-config file (vaskel-producer)
#                                                                    libvaskel-producer-dev
#   tools   vaskel_renderer, vaskel_producer, vaskel_wav, their man pages       vaskel-tools
#   jack    vaskel_jack and its man page, where libjack was found (tools/jack)  vaskel-jack
#   python  the Python module vaskel                                           python3-vaskel
# The test, benchmark, fuzz and example targets stay in the build tree. On Windows all of it goes
# into one .zip (no Python module, no man pages).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# One version: the Python module and the Debian changelog must say the project's.
set(VASKEL_DEB_RELEASE 1)
file(STRINGS ${PROJECT_SOURCE_DIR}/bindings/python/vaskel/__init__.py vaskel_python_version
     REGEX "^__version__ = ")
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog vaskel_changelog_top LIMIT_COUNT 1)
if(NOT vaskel_python_version STREQUAL "__version__ = \"${PROJECT_VERSION}\"" OR
   NOT vaskel_changelog_top MATCHES "^vaskel \\(${PROJECT_VERSION}-${VASKEL_DEB_RELEASE}\\) ")
  message(FATAL_ERROR "bindings/python/vaskel/__init__.py (${vaskel_python_version}) and the top of "
                      "packaging/changelog (${vaskel_changelog_top}) must name version "
                      "${PROJECT_VERSION} (-${VASKEL_DEB_RELEASE} in the changelog)")
endif()

set(VASKEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vaskel)
set(VASKEL_PYTHON_DIR lib/python3/dist-packages CACHE STRING
    "Where the Python module goes, below the prefix (Debian's place for every Python 3)")

install(TARGETS vaskel_renderer vaskel_producer vaskel_wav
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

set_target_properties(vaskel_producer_shared PROPERTIES EXPORT_NAME producer)
set_target_properties(vaskel_producer_static PROPERTIES EXPORT_NAME producer_static)
# A C program that links the static library links with the C driver, which leaves out the C++
# runtime the library needs.
target_link_libraries(vaskel_producer_static INTERFACE $<$<NOT:$<LINK_LANGUAGE:CXX>>:stdc++>
                                                       $<$<NOT:$<LINK_LANGUAGE:CXX>>:m>)
install(TARGETS vaskel_producer_shared vaskel_producer_static EXPORT vaskelTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib # the DLL, beside the programs
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib # the .so and its SONAME link
                NAMELINK_COMPONENT dev                            # the .so link is for linking
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev # static and import library
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/vaskel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES ${VASKEL_GENERATED_INCLUDE_DIR}/vaskel/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vaskel COMPONENT dev)
# A stripped install leaves static libraries as built, and the compiler's .comment and .note
# sections in everything; none of it is of use to a program that links or runs them.
if(NOT WIN32)
  set(strip_notes --remove-section=.comment --remove-section=.note)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug ${strip_notes}
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:vaskel_producer_static>\")
    endif()" COMPONENT dev)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" ${strip_notes}
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:vaskel_producer_shared>\")
    endif()" COMPONENT lib)
  foreach(program IN ITEMS vaskel_renderer vaskel_producer vaskel_wav vaskel_jack)
    set(component tools)
    if(program STREQUAL "vaskel_jack")
      set(component jack)
    endif()
    if(TARGET ${program})
      install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
          execute_process(COMMAND \"${CMAKE_STRIP}\" ${strip_notes}
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${program}>\")
        endif()" COMPONENT ${component})
      # Full RELRO, as Debian's hardened builds link: the GOT read-only after start-up.
      target_link_options(${program} PRIVATE -Wl,-z,relro -Wl,-z,now)
    endif()
  endforeach()
  target_link_options(vaskel_producer_shared PRIVATE -Wl,-z,relro -Wl,-z,now)
endif()

install(EXPORT vaskelTargets NAMESPACE vaskel:: DESTINATION ${VASKEL_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/vaskelConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/vaskelConfig.cmake
                              INSTALL_DESTINATION ${VASKEL_CMAKE_DIR})
# The library's ABI follows its SOVERSION, the major version.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vaskelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vaskelConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/vaskelConfigVersion.cmake
        DESTINATION ${VASKEL_CMAKE_DIR} COMPONENT dev)

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
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vaskel-producer.pc DESTINATION ${VASKEL_PKGCONFIG_DIR}
        COMPONENT dev)

if(NOT WIN32)
  install(FILES bindings/python/vaskel/__init__.py bindings/python/vaskel/py.typed
          DESTINATION ${VASKEL_PYTHON_DIR}/vaskel COMPONENT python)
endif()

include(cmake/ManPages.cmake)

set(CPACK_PACKAGE_NAME vaskel)
set(CPACK_PACKAGE_VENDOR "the vaskel authors")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  install(FILES LICENSE DESTINATION . COMPONENT lib)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "Captures multi-stream audio from shared memory into WAV files; producer library")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  include(cmake/DebianPackages.cmake)
endif()
include(CPack)

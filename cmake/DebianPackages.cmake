# The Debian packages of `cpack -G DEB`, one per install component, each with its copyright and
# changelog, and the library's shlibs, symbols and ldconfig trigger: four, and vaskel-jack where
# libjack was found. Included by Install.cmake on Linux; lintian has nothing above informational
# to say about them.
set(VASKEL_PACKAGE_MAINTAINER "The vaskel authors <vaskel-authors@users.noreply.github.com>"
    CACHE STRING "Maintainer named in the Debian packages")
set(VASKEL_DEB_NAME_LIB libvaskel-producer${PROJECT_VERSION_MAJOR})
set(VASKEL_DEB_NAME_DEV libvaskel-producer-dev)
set(VASKEL_DEB_NAME_TOOLS vaskel-tools)
set(VASKEL_DEB_NAME_JACK vaskel-jack)
set(VASKEL_DEB_NAME_PYTHON python3-vaskel)
set(VASKEL_DEB_VERSION ${PROJECT_VERSION}-${VASKEL_DEB_RELEASE})
set(deb_dir ${CMAKE_BINARY_DIR}/debian)

# The machine-readable copyright file: the licence text indented, blank lines as " .".
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE licence_lines)
set(licence_text "")
foreach(line IN LISTS licence_lines)
  if(line STREQUAL "")
    string(APPEND licence_text " .\n")
  else()
    string(APPEND licence_text " ${line}\n")
  endif()
endforeach()
file(WRITE ${deb_dir}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vaskel
Upstream-Contact: ${VASKEL_PACKAGE_MAINTAINER}

Files: *
Copyright: 2026 the vaskel authors
License: Expat
Comment: The MIT licence, as in the file LICENSE of the source.

License: Expat
${licence_text}")
add_custom_command(
  OUTPUT ${deb_dir}/changelog.Debian.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${deb_dir}/changelog.Debian.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(vaskel_debian_changelog ALL DEPENDS ${deb_dir}/changelog.Debian.gz)
set(vaskel_deb_components lib dev tools python)
if(TARGET vaskel_jack)
  list(APPEND vaskel_deb_components jack)
endif()
foreach(component IN LISTS vaskel_deb_components)
  string(TOUPPER ${component} upper)
  set(package ${VASKEL_DEB_NAME_${upper}})
  install(FILES ${deb_dir}/copyright ${deb_dir}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  # These packages are built by their upstream and not uploaded to Debian: the first release
  # has no Debian bug (ITP) to close.
  file(WRITE ${deb_dir}/overrides/${package}
       "${package}: initial-upload-closes-no-bugs\n")
  install(FILES ${deb_dir}/overrides/${package}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
endforeach()

# The library's control files: shlibs and symbols name every function of the C interface, and
# the ldconfig trigger replaces the maintainer scripts CPack would write.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/vaskel/producer.h api_lines REGEX "^VASKEL_API ")
set(symbols "libvaskel_producer.so.${PROJECT_VERSION_MAJOR} ${VASKEL_DEB_NAME_LIB} #MINVER#\n\
* Build-Depends-Package: ${VASKEL_DEB_NAME_DEV}\n")
foreach(line IN LISTS api_lines)
  if(line MATCHES "[ *](vaskel_[a-z_]+)\\(")
    string(APPEND symbols " ${CMAKE_MATCH_1}@Base ${PROJECT_VERSION}\n")
  endif()
endforeach()
file(WRITE ${deb_dir}/lib/symbols "${symbols}")
file(WRITE ${deb_dir}/lib/shlibs "libvaskel_producer ${PROJECT_VERSION_MAJOR} \
${VASKEL_DEB_NAME_LIB} (>= ${PROJECT_VERSION})\n")
file(WRITE ${deb_dir}/lib/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA
    "${deb_dir}/lib/shlibs;${deb_dir}/lib/symbols;${deb_dir}/lib/triggers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack finds the library's own dependencies only together with the ldconfig scripts, so they
# are found at packing time by dpkg-shlibdeps, as CPack does for the programs.
# Packages without their man pages would be incomplete (lintian: no-manual-page): a build
# without them stops cpack and says why.
set(vaskel_man_check "")
if(NOT VASKEL_MAN_PAGES_MADE)
  set(vaskel_man_check "message(FATAL_ERROR \"The Debian packages need the man pages, which \"
    \"help2man makes, and this build found no help2man. Install it (apt-get install help2man), \"
    \"configure the build again and build it, then run cpack.\")")
endif()
# vaskel_wav export needs libsndfile; the tools package is not made without it.
if(NOT VASKEL_WAV_EXPORT)
  string(APPEND vaskel_man_check "\nmessage(FATAL_ERROR \"The package vaskel-tools needs vaskel_wav \"
    \"export, which libsndfile makes, and this build found no libsndfile. Install it \"
    \"(apt-get install libsndfile1-dev), configure the build again and build it, then run cpack.\")")
endif()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/CPackDebianLib.cmake CONTENT "
if(CPACK_GENERATOR STREQUAL \"DEB\")
  ${vaskel_man_check}
  set(work \"${deb_dir}/shlibdeps\")
  file(MAKE_DIRECTORY \"\${work}/debian\")
  file(WRITE \"\${work}/debian/control\" \"\")
  execute_process(COMMAND dpkg-shlibdeps -O \"$<TARGET_FILE:vaskel_producer_shared>\"
                  WORKING_DIRECTORY \"\${work}\" OUTPUT_VARIABLE found RESULT_VARIABLE failed
                  ERROR_VARIABLE warnings OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed OR NOT found MATCHES \"^shlibs:Depends=(.+)\")
    message(FATAL_ERROR \"dpkg-shlibdeps found no dependencies of the library: \${warnings}\")
  endif()
  set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS \"\${CMAKE_MATCH_1}\")
endif()
")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackDebianLib.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${vaskel_deb_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VASKEL_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VASKEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps for the programs; the library's are found above.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_JACK_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${VASKEL_DEB_NAME_LIB})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_DESCRIPTION
"library to publish audio for vaskel_renderer
A producer program creates a named shared-memory region through this library
and publishes the audio of each of its streams into it; vaskel_renderer drains
the region and writes one bit-exact 32-bit float WAV file per stream.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VASKEL_DEB_NAME_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${VASKEL_DEB_NAME_LIB} (= ${VASKEL_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"library to publish audio for vaskel_renderer - development files
A producer program creates a named shared-memory region through this library
and publishes the audio of each of its streams into it; vaskel_renderer drains
the region and writes one bit-exact 32-bit float WAV file per stream.
.
This package holds the C header, the static library, the CMake package
(find_package(vaskel)) and the pkg-config file (vaskel-producer).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${VASKEL_DEB_NAME_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"capture multi-stream audio from shared memory into WAV files
vaskel_renderer drains the rings of a named shared-memory region that a
producer process fills and writes one bit-exact 32-bit float WAV file per
stream, with a progress file beside them.
.
This package holds vaskel_renderer, the test producer vaskel_producer and
vaskel_wav, which checks the files of a capture, repairs those of a
capture that stopped early and exports them as 16/24/32-bit PCM WAV, float
WAV or FLAC, one file per stream or one multichannel file per take. The
live bridge from a JACK server, vaskel_jack, is in the package vaskel-jack.")

set(CPACK_DEBIAN_JACK_PACKAGE_NAME ${VASKEL_DEB_NAME_JACK})
set(CPACK_DEBIAN_JACK_PACKAGE_SECTION sound)
# It runs vaskel_renderer; libjack comes from dpkg-shlibdeps.
set(CPACK_DEBIAN_JACK_PACKAGE_DEPENDS "${VASKEL_DEB_NAME_TOOLS} (= ${VASKEL_DEB_VERSION})")
set(CPACK_DEBIAN_JACK_DESCRIPTION
"record JACK ports into WAV files through vaskel_renderer
vaskel_jack is a JACK client (JACK2, or PipeWire's JACK layer) that records
the ports a pattern names, one bit-exact 32-bit float WAV file per stream:
it runs vaskel_renderer, keeps a take sheet naming every file's ports, and
repairs the files of a capture that fails.
.
This package holds vaskel_jack. vaskel_renderer, vaskel_producer and
vaskel_wav are in the package vaskel-tools.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${VASKEL_DEB_NAME_PYTHON})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3:any, ${VASKEL_DEB_NAME_LIB} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-numpy")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python module to publish audio for vaskel_renderer
The module vaskel publishes the audio of a Python program into a named
shared-memory region for vaskel_renderer, which writes one bit-exact 32-bit
float WAV file per stream. It takes any float32 buffer, numpy arrays of shape
(frames, channels) included, without a copy.")

# Man pages (section 1), made by help2man from each program's --help so that the two never
# differ (cmake/man-help.sh puts the usage lines and exit codes in the forms help2man knows),
# with the EXAMPLES and SEE ALSO of packaging/man/<program>.h2m. Only where the programs run on
# the build machine and help2man is there; the Debian packages need them, and `cpack -G DEB`
# stops without them (DebianPackages.cmake).
set(VASKEL_MAN_PAGES_MADE OFF)
if(CMAKE_CROSSCOMPILING OR WIN32)
  return()
endif()
find_program(VASKEL_HELP2MAN help2man)
if(NOT VASKEL_HELP2MAN)
  message(STATUS "help2man not found: no man pages (Debian: apt-get install help2man)")
  return()
endif()
set(VASKEL_MAN_PAGES_MADE ON)

set(vaskel_man_programs vaskel_renderer vaskel_producer vaskel_wav)
set(vaskel_man_names
    "capture multi-stream audio from a shared-memory region into WAV files"
    "publish test audio for vaskel_renderer and verify a capture"
    "check, repair and export the WAV files of a capture")
set(vaskel_man_components tools tools tools)
if(TARGET vaskel_jack)
  list(APPEND vaskel_man_programs vaskel_jack)
  list(APPEND vaskel_man_names "record JACK ports into WAV files through vaskel_renderer")
  list(APPEND vaskel_man_components jack)
endif()

set(vaskel_man_pages)
foreach(program name component IN ZIP_LISTS vaskel_man_programs vaskel_man_names
                                            vaskel_man_components)
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  set(include ${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m)
  # help2man runs its argument through the shell: the filter, then the program and --help.
  # The version comes from here, not from running --version: one number for every page.
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${VASKEL_HELP2MAN} --no-info --section=1 "--version-string=${program} ${PROJECT_VERSION}"
            --name=${name} --include=${include} --output=${page}
            "sh ${PROJECT_SOURCE_DIR}/cmake/man-help.sh $<TARGET_FILE:${program}>"
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${include} ${PROJECT_SOURCE_DIR}/cmake/man-help.sh
    COMMENT "Making the man page of ${program}"
    VERBATIM)
  list(APPEND vaskel_man_pages ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endforeach()
add_custom_target(vaskel_man_pages ALL DEPENDS ${vaskel_man_pages})

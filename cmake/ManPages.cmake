# Man pages (section 1), made by help2man from each program's --help so that the two never
# differ. Only where the programs run on the build machine and help2man is there; the Debian
# packages need them.
if(CMAKE_CROSSCOMPILING OR WIN32)
  return()
endif()
find_program(VASKEL_HELP2MAN help2man)
if(NOT VASKEL_HELP2MAN)
  message(STATUS "help2man not found: no man pages (Debian: apt-get install help2man)")
  return()
endif()

set(vaskel_man_programs vaskel_renderer vaskel_producer vaskel_wav)
set(vaskel_man_names
    "capture multi-stream audio from a shared-memory region into WAV files"
    "publish test audio for vaskel_renderer and verify a capture"
    "check and repair the WAV files of a capture")
if(TARGET vaskel_jack)
  list(APPEND vaskel_man_programs vaskel_jack)
  list(APPEND vaskel_man_names "bridge live JACK audio to vaskel_renderer")
endif()

set(vaskel_man_pages)
foreach(program name IN ZIP_LISTS vaskel_man_programs vaskel_man_names)
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  # The version comes from here, not from running --version: one number for every page.
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${VASKEL_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
            --name=${name} --output=${page} $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program}
    COMMENT "Making the man page of ${program}"
    VERBATIM)
  list(APPEND vaskel_man_pages ${page}.gz)
endforeach()
add_custom_target(vaskel_man_pages ALL DEPENDS ${vaskel_man_pages})
install(FILES ${vaskel_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

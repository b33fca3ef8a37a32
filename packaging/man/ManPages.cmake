# The manual pages tarvolo(1) and tarvolo-handset(1), made by help2man from the programs' own
# --help (make-manpage.sh: a section per command of tarvolo), the rest from NAME.h2m here.
# Without help2man (the demo's packages) the build goes on without them; the sanitizer and
# fuzz builds, which nobody installs, do not make them.
set(pages_by_default ON)
if(TARVOLO_SANITIZE OR TARVOLO_TSAN OR TARVOLO_FUZZ)
  set(pages_by_default OFF)
endif()
option(TARVOLO_MANPAGES "Make and install the manual pages (needs help2man)" ${pages_by_default})
find_program(TARVOLO_HELP2MAN help2man)
if(TARVOLO_MANPAGES AND NOT TARVOLO_HELP2MAN)
  message(STATUS "no help2man: the manual pages are not made (package help2man)")
elseif(TARVOLO_MANPAGES)
  set(man_pages "")
  foreach(program tarvolo tarvolo-handset)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_CURRENT_LIST_DIR}/make-manpage.sh $<TARGET_FILE:${program}>
              ${CMAKE_CURRENT_LIST_DIR}/${program}.h2m ${page}
      DEPENDS ${program} ${CMAKE_CURRENT_LIST_DIR}/make-manpage.sh ${CMAKE_CURRENT_LIST_DIR}/${program}.h2m
      COMMENT "Manual page ${program}(1)"
      VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

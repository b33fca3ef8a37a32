# SQLite for the MinGW builds, which Debian does not package: the amalgamation (sqlite3.c) is
# made once into the build folder from Debian's sqlite3 source package (Debian's patches
# applied; scripts/fetch-source.sh sqlite3 unpacks it) with the host's tools (configure, make,
# tclsh), then compiled with the cross compiler as the static library tarvolo_sqlite.
set(TARVOLO_SQLITE_SOURCE "" CACHE PATH
    "Unpacked sqlite3 source tree (default: fetched into build/sources)")
if(NOT EXISTS "${TARVOLO_SQLITE_SOURCE}/configure")
  execute_process(
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-source.sh sqlite3 ${CMAKE_SOURCE_DIR}/build/sources
    OUTPUT_VARIABLE fetched OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE fetch_status)
  if(NOT fetch_status EQUAL 0)
    message(FATAL_ERROR "no sqlite3 source for the Windows build: run scripts/install-deps.sh")
  endif()
  set(TARVOLO_SQLITE_SOURCE ${fetched} CACHE PATH
      "Unpacked sqlite3 source tree (default: fetched into build/sources)" FORCE)
endif()

set(amalgamation ${CMAKE_BINARY_DIR}/sqlite-amalgamation)
file(MAKE_DIRECTORY ${amalgamation})
add_custom_command(
  OUTPUT ${amalgamation}/sqlite3.c ${amalgamation}/sqlite3.h
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/make-sqlite-amalgamation.sh ${TARVOLO_SQLITE_SOURCE}
  WORKING_DIRECTORY ${amalgamation}
  COMMENT "Making the SQLite amalgamation from ${TARVOLO_SQLITE_SOURCE}"
  VERBATIM)

add_library(tarvolo_sqlite STATIC ${amalgamation}/sqlite3.c)
set_target_properties(tarvolo_sqlite PROPERTIES C_STANDARD 99)
# SQLite's own code: not held to this project's warnings. -O1: a station writes a row a unit,
# and the 8 MB file compiles in half the time of -O2 (the tests build it twice).
target_compile_options(tarvolo_sqlite PRIVATE -w -O1)
target_compile_definitions(tarvolo_sqlite
  PRIVATE SQLITE_OMIT_LOAD_EXTENSION SQLITE_DQS=0 SQLITE_DEFAULT_WAL_SYNCHRONOUS=2
  PUBLIC SQLITE_THREADSAFE=1)
target_include_directories(tarvolo_sqlite SYSTEM PUBLIC ${amalgamation})

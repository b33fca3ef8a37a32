# cpp-httplib's single header for every build: Debian's libcpp-httplib-dev holds only
# declarations for its compiled library (no MinGW build of which exists), so the header comes
# from Debian's source package, unpacked by scripts/install-deps.sh into build/sources
# (scripts/fetch-httplib-source.sh; this runs it too when a fresh tree lacks it).
set(TARVOLO_HTTPLIB_SOURCE "" CACHE PATH "Unpacked cpp-httplib source tree (default: fetched into build/sources)")
if(NOT EXISTS "${TARVOLO_HTTPLIB_SOURCE}/httplib.h")
  execute_process(
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-httplib-source.sh ${CMAKE_SOURCE_DIR}/build/sources
    OUTPUT_VARIABLE fetched OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE fetch_status)
  if(NOT fetch_status EQUAL 0)
    message(FATAL_ERROR "no cpp-httplib source for the web server: run scripts/install-deps.sh")
  endif()
  set(TARVOLO_HTTPLIB_SOURCE ${fetched} CACHE PATH
      "Unpacked cpp-httplib source tree (default: fetched into build/sources)" FORCE)
endif()
set(TARVOLO_HTTPLIB_INCLUDE ${TARVOLO_HTTPLIB_SOURCE})

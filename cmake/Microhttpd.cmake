# GNU libmicrohttpd, the web server's library. The native build links Debian's
# libmicrohttpd-dev; the MinGW builds compile its static library from Debian's source package
# (scripts/fetch-source.sh libmicrohttpd unpacks it, scripts/build-microhttpd.sh cross-compiles
# it into the build folder once), so the .exe needs no DLL of it.
if(NOT TARVOLO_WINDOWS)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TARVOLO_MHD REQUIRED IMPORTED_TARGET libmicrohttpd)
  add_library(tarvolo_microhttpd INTERFACE)
  target_link_libraries(tarvolo_microhttpd INTERFACE PkgConfig::TARVOLO_MHD)
  return()
endif()

set(TARVOLO_MHD_SOURCE "" CACHE PATH "Unpacked libmicrohttpd source tree (default: fetched into build/sources)")
if(NOT EXISTS "${TARVOLO_MHD_SOURCE}/configure")
  execute_process(
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-source.sh libmicrohttpd ${CMAKE_SOURCE_DIR}/build/sources
    OUTPUT_VARIABLE fetched OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE fetch_status)
  if(NOT fetch_status EQUAL 0)
    message(FATAL_ERROR "no libmicrohttpd source for the Windows build: run scripts/install-deps.sh")
  endif()
  set(TARVOLO_MHD_SOURCE ${fetched} CACHE PATH
      "Unpacked libmicrohttpd source tree (default: fetched into build/sources)" FORCE)
endif()

set(mhd ${CMAKE_BINARY_DIR}/microhttpd)
file(MAKE_DIRECTORY ${mhd}/include)
add_custom_command(
  OUTPUT ${mhd}/lib/libmicrohttpd.a ${mhd}/include/microhttpd.h
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/build-microhttpd.sh ${TARVOLO_MHD_SOURCE} ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32
          ${CMAKE_C_COMPILER} ${mhd}
  COMMENT "Compiling libmicrohttpd for ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32 from ${TARVOLO_MHD_SOURCE}"
  VERBATIM)
add_custom_target(tarvolo_microhttpd_build DEPENDS ${mhd}/lib/libmicrohttpd.a ${mhd}/include/microhttpd.h)
add_library(tarvolo_microhttpd STATIC IMPORTED GLOBAL)
set_target_properties(tarvolo_microhttpd PROPERTIES IMPORTED_LOCATION ${mhd}/lib/libmicrohttpd.a
  INTERFACE_INCLUDE_DIRECTORIES ${mhd}/include INTERFACE_LINK_LIBRARIES ws2_32)
add_dependencies(tarvolo_microhttpd tarvolo_microhttpd_build)

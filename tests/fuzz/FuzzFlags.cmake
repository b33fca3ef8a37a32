# Instrumentation of the libFuzzer flavour. Every target is built for coverage and with
# ASan+UBSan, so that a harness finds faults inside the libraries it calls, not only in
# itself. Included before the libraries are defined.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "TARVOLO_FUZZ needs clang: use scripts/build.sh fuzz")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)

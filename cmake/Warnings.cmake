# Warnings for our own targets: call tarvolo_warnings(target).
function(tarvolo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wno-unused-parameter)
endfunction()

# Product code builds with warnings as errors; the emulation layers with the same warnings.
function(nortane_product_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-unused-parameter)
endfunction()

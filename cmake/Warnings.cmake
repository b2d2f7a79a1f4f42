# Warnings are errors for everything we compile ourselves.
add_library(tiv_warnings INTERFACE)
target_compile_options(tiv_warnings INTERFACE -Wall -Wextra -Werror -Wpedantic $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
  -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual)

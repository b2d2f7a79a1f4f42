# Warnings are errors for everything we compile ourselves.
add_library(tiv_warnings INTERFACE)
target_compile_options(tiv_warnings INTERFACE -Wall -Wextra -Werror -Wpedantic -Wshadow=local
  -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual)

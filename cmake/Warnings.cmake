# Warnings for everything we compile ourselves. They are errors only where we choose the compiler
# (the presets and CI): a packager with a newer compiler must still be able to build.
option(TIV_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)

add_library(tiv_warnings INTERFACE)
target_compile_options(tiv_warnings INTERFACE -Wall -Wextra -Wpedantic $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
  -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual $<$<BOOL:${TIV_WARNINGS_AS_ERRORS}>:-Werror>)

# Versioned shared libraries that export only their namespace: everything else (the static
# helpers linked into them, the standard library's instantiations) stays local, so two
# copies of a helper in one process never bind to each other.
#
# tiv_shared_library_api(TARGET NAMESPACE...)
function(tiv_shared_library_api target)
  set(patterns "")
  foreach(ns IN LISTS ARGN)
    # Unquoted, so that they are globs; '?' stands for the spaces a pattern cannot hold.
    foreach(prefix "" "typeinfo?for?" "typeinfo?name?for?" "vtable?for?" "VTT?for?"
            "guard?variable?for?" "non-virtual?thunk?to?" "virtual?thunk?to?")
      string(APPEND patterns "      ${prefix}${ns}::*;\n")
    endforeach()
    # Function templates start with their return type.
    string(APPEND patterns "      *?${ns}::*;\n")
  endforeach()
  set(map "${PROJECT_BINARY_DIR}/symbol-maps/${target}.map")
  file(WRITE "${map}.in" "{\n  global:\n    extern \"C++\" {\n${patterns}    };\n  local: *;\n};\n")
  configure_file("${map}.in" "${map}" COPYONLY)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS "${map}")
  target_link_options(${target} PRIVATE "-Wl,--version-script=${map}")
endfunction()

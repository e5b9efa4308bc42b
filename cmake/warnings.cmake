# Warning flags for the project's own targets (never for dependencies).
function(vexa_codegen_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor
    -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
  if(VEXA_CODEGEN_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

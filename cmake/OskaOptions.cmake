# Flags shared by every target of the project.

# The shader maths must give the same bits everywhere: no fused multiply-add.
add_compile_options(-ffp-contract=off)

if(OSKA_SANITIZE)
  add_compile_options(-fsanitize=${OSKA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${OSKA_SANITIZE})
endif()

if(OSKA_COVERAGE)
  add_compile_options(--coverage -O0)
  add_link_options(--coverage)
endif()

# Warnings are errors in our own code (not in the third-party code we build).
function(oska_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Werror)
endfunction()

# Warnings for product code: on, and clean. Third-party code (GoogleTest) is built without them.
function(norvo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2 -Wnon-virtual-dtor
                                           -Wno-missing-field-initializers -Wno-cast-function-type -Werror)
endfunction()

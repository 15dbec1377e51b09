# Compiler flags for our own targets, carried by one INTERFACE target.
option(CORVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(CORVANE_WERROR "Treat warnings as errors" ON)

add_library(corvane_flags INTERFACE)
target_compile_options(corvane_flags INTERFACE -Wall -Wextra -Wpedantic -Wshadow
                       -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wunused)
if(CORVANE_WERROR)
  target_compile_options(corvane_flags INTERFACE -Werror)
endif()
if(CORVANE_SANITIZE)
  target_compile_options(corvane_flags INTERFACE -fsanitize=address,undefined
                         -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(corvane_flags INTERFACE -fsanitize=address,undefined)
endif()

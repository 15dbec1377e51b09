# Compiler flags for our own targets, carried by one INTERFACE target.
option(CORVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(CORVANE_WERROR "Treat warnings as errors" ON)

add_library(corvane_flags INTERFACE)
target_compile_options(corvane_flags INTERFACE -Wall -Wextra -Wpedantic -Wshadow
                       -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wunused)
# GCC 12 reports false -Wrestrict on std::string concatenation when optimising
# (https://gcc.gnu.org/bugzilla/show_bug.cgi?id=105329); fixed in GCC 13.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(corvane_flags INTERFACE -Wno-restrict)
endif()
if(CORVANE_WERROR)
  target_compile_options(corvane_flags INTERFACE -Werror)
endif()
if(CORVANE_SANITIZE)
  target_compile_options(corvane_flags INTERFACE -fsanitize=address,undefined
                         -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(corvane_flags INTERFACE -fsanitize=address,undefined)
endif()

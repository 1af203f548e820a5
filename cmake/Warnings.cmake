# Every target of the project links renumber_warnings, so the warning set lives here only.
add_library(renumber_warnings INTERFACE)
target_compile_options(renumber_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(RENUMBER_WARNINGS_AS_ERRORS)
  target_compile_options(renumber_warnings INTERFACE -Werror)
endif()
# GCC 12 reports -Wrestrict inside std::string's own concatenation at -O3, on correct code
# (GCC bug 105329, fixed in 13).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(renumber_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()

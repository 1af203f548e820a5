# Every target of the project links renumber_warnings, so the warning set lives here only.
add_library(renumber_warnings INTERFACE)
target_compile_options(renumber_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(RENUMBER_WARNINGS_AS_ERRORS)
  target_compile_options(renumber_warnings INTERFACE -Werror)
endif()

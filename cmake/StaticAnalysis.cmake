# RENUMBER_STATIC_ANALYSIS (CMake preset "lint"): every C and C++ file is checked as it is
# compiled, by clang-tidy (.clang-tidy: its checks, why some are left out, and that any finding is
# an error) and cppcheck, so a finding fails the build and names the file. clang-format is a ctest
# test labelled "lint"; the target `format` rewrites the files in place instead.
#
# The preset also builds the fuzz targets and benchmarks, so that no source file goes unchecked.
if(NOT RENUMBER_STATIC_ANALYSIS)
  return()
endif()

find_program(CLANG_TIDY clang-tidy REQUIRED)
find_program(CPPCHECK cppcheck REQUIRED)
find_program(CLANG_FORMAT clang-format REQUIRED)

# Headers of this checkout only: the pattern in .clang-tidy would also match a path above it.
set(tidy ${CLANG_TIDY} --quiet "--header-filter=^${PROJECT_SOURCE_DIR}/(src|sim|tests|fuzz|bench)/")
set(CMAKE_C_CLANG_TIDY ${tidy})
set(CMAKE_CXX_CLANG_TIDY ${tidy})

# useStlAlgorithm: a plain loop over bytes or records reads better than the algorithm it suggests
# (std::accumulate for a CRC, std::transform for a list of pointers).
set(cppcheck ${CPPCHECK} --enable=warning,style,performance,portability --inline-suppr
    --suppress=useStlAlgorithm --error-exitcode=1 --quiet
    "--template={file}:{line}: {severity}: {message} [{id}]")
set(CMAKE_C_CPPCHECK ${cppcheck} --std=c11)
set(CMAKE_CXX_CPPCHECK ${cppcheck} --std=c++20 --library=googletest)

file(GLOB_RECURSE formatted_sources CONFIGURE_DEPENDS
     LIST_DIRECTORIES false RELATIVE ${PROJECT_SOURCE_DIR}
     ${PROJECT_SOURCE_DIR}/src/*.[ch] ${PROJECT_SOURCE_DIR}/src/*.[ch]pp
     ${PROJECT_SOURCE_DIR}/sim/*.[ch] ${PROJECT_SOURCE_DIR}/sim/*.[ch]pp
     ${PROJECT_SOURCE_DIR}/tests/*.[ch] ${PROJECT_SOURCE_DIR}/tests/*.[ch]pp
     ${PROJECT_SOURCE_DIR}/fuzz/*.[ch] ${PROJECT_SOURCE_DIR}/fuzz/*.[ch]pp
     ${PROJECT_SOURCE_DIR}/bench/*.[ch] ${PROJECT_SOURCE_DIR}/bench/*.[ch]pp)
enable_testing()
add_test(NAME format COMMAND ${CLANG_FORMAT} --dry-run --Werror ${formatted_sources}
         WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
set_tests_properties(format PROPERTIES LABELS lint)
add_custom_target(format COMMAND ${CLANG_FORMAT} -i ${formatted_sources}
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} VERBATIM)

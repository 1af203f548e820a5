# `ctest -T memcheck` (CMake preset "memcheck") runs tests under valgrind's memcheck, following
# each test into the motor-sim and renumber processes it starts. A memcheck error or a definite
# leak in any of them makes that process exit 99, which the test sees as a wrong exit status, so a
# finding fails the test that showed it. Nothing is suppressed.
find_program(MEMORYCHECK_COMMAND valgrind)
set(MEMORYCHECK_COMMAND_OPTIONS
    "--trace-children=yes --error-exitcode=99 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite")
# ctest -T memcheck reads these from DartConfiguration.tcl, which include(CTest) writes; the
# dashboard targets it would also add are not wanted.
set_property(GLOBAL PROPERTY CTEST_TARGETS_ADDED 1)
include(CTest)

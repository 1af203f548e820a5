# RENUMBER_SANITIZE: every target, the preloaded adapter layer included, is built with
# AddressSanitizer and UndefinedBehaviorSanitizer, and any finding ends the process.
# RENUMBER_FUZZ: the same, plus libFuzzer's coverage instrumentation, for the targets in fuzz/.
#
# Clang is the supported compiler for both (CMake presets "asan" and "fuzz"). Its sanitizer
# runtime is linked statically into each executable and exports its symbols, so the instrumented
# adapter layer resolves them from the program it is preloaded into, and the runtime's
# interceptors sit ahead of the layer without any link-order check to switch off. With GCC the
# runtime is a shared library that must come first, so motor-sim's preload trips its check: run
# the tests with ASAN_OPTIONS=verify_asan_link_order=0 there.
#
# Nothing is suppressed: renumber frees its serial port before it exits, so any leak is a finding.
if(NOT RENUMBER_SANITIZE AND NOT RENUMBER_FUZZ)
  return()
endif()

if(RENUMBER_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "RENUMBER_FUZZ needs clang (libFuzzer): configure with CC=clang CXX=clang++")
endif()

set(RENUMBER_SANITIZER_FLAGS
    -fsanitize=address,undefined
    # A finding must fail the run, not scroll past in a test's output.
    -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
if(RENUMBER_FUZZ)
  list(APPEND RENUMBER_SANITIZER_FLAGS -fsanitize=fuzzer-no-link)
endif()

add_compile_options(${RENUMBER_SANITIZER_FLAGS})
add_link_options(-fsanitize=address,undefined)


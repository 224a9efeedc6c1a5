# Fuzzing of the engine's calls (fuzz/engine_fuzz.cpp).
#
# Every build makes fuzz_replay, which feeds the committed corpus to the fuzz
# target without libFuzzer; its test carries the unit label, so the sanitizer
# builds replay the corpus as well. The coverage-guided fuzzer needs clang's
# libFuzzer: configure a tree of its own with CC=clang CXX=clang++
# -DTAMBRINO_FUZZ=ON (scripts/fuzz.sh does) and build engine_fuzzer.
option(TAMBRINO_FUZZ "Build the libFuzzer target engine_fuzzer (clang only)" OFF)

set(TAMBRINO_FUZZ_DIR ${CMAKE_SOURCE_DIR}/fuzz)

add_executable(fuzz_replay ${TAMBRINO_FUZZ_DIR}/engine_fuzz.cpp ${TAMBRINO_FUZZ_DIR}/replay_main.cpp)
target_include_directories(fuzz_replay PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(fuzz_replay PRIVATE tambrino_static)
add_test(NAME fuzz_corpus_replay COMMAND fuzz_replay ${TAMBRINO_FUZZ_DIR}/corpus)
set_tests_properties(fuzz_corpus_replay PROPERTIES LABELS "unit;fuzz" TIMEOUT 900)

if(TAMBRINO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TAMBRINO_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  # -fsanitize=function is left out: the fake JNIEnv fills its table with
  # functions that take a jarray where the slot says jshortArray and so on,
  # which that check reports although the call is sound on every ABI.
  set(TAMBRINO_FUZZ_FLAGS -fsanitize=address,undefined -fno-sanitize=function -fno-sanitize-recover=all -g
                          -fno-omit-frame-pointer)
  # The engine's own sources again, instrumented for coverage.
  get_target_property(TAMBRINO_CORE_SOURCES tambrino_core SOURCES)
  add_library(tambrino_fuzzcore STATIC ${TAMBRINO_CORE_SOURCES})
  add_dependencies(tambrino_fuzzcore jni_header)
  target_include_directories(tambrino_fuzzcore PUBLIC ${TAMBRINO_NATIVE_INCLUDES} ${JNI_INCLUDE_DIRS}
                                                      ${TAMBRINO_GEN_DIR})
  target_compile_options(tambrino_fuzzcore PRIVATE -fsanitize=fuzzer-no-link ${TAMBRINO_FUZZ_FLAGS})
  target_link_libraries(tambrino_fuzzcore PUBLIC m)

  add_executable(engine_fuzzer ${TAMBRINO_FUZZ_DIR}/engine_fuzz.cpp)
  target_include_directories(engine_fuzzer PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  target_compile_options(engine_fuzzer PRIVATE -fsanitize=fuzzer ${TAMBRINO_FUZZ_FLAGS})
  target_link_options(engine_fuzzer PRIVATE -fsanitize=fuzzer ${TAMBRINO_FUZZ_FLAGS})
  target_link_libraries(engine_fuzzer PRIVATE tambrino_fuzzcore)
endif()

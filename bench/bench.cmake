# The benchmark and the golden-digest tool. Neither is a test: CTest does not
# run them; scripts/bench.sh builds and runs the benchmark.
add_executable(tambrino_bench ${CMAKE_SOURCE_DIR}/bench/tambrino_bench.cpp)
target_link_libraries(tambrino_bench PRIVATE tambrino_static ${CMAKE_DL_LIBS})

add_executable(golden_digests ${CMAKE_SOURCE_DIR}/bench/golden_digests.cpp)
target_include_directories(golden_digests PRIVATE ${JNI_INCLUDE_DIRS})
target_link_libraries(golden_digests PRIVATE ${CMAKE_DL_LIBS})

# SoundTouch, when its development package is installed, is timed beside the
# fine mode for comparison; it is never linked into the engine.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(SOUNDTOUCH QUIET IMPORTED_TARGET soundtouch)
endif()
if(SOUNDTOUCH_FOUND)
  target_compile_definitions(tambrino_bench PRIVATE TAMBRINO_BENCH_SOUNDTOUCH=1)
  target_link_libraries(tambrino_bench PRIVATE PkgConfig::SOUNDTOUCH)
endif()

# The quality benchmark's measuring tool. Not a test: CTest does not run it;
# scripts/quality.sh builds and runs it beside the command-line tool.
add_executable(quality_measure ${CMAKE_SOURCE_DIR}/tools/quality.cpp)

# The live transposition sweep drives the engine's entry points in-process,
# as the benchmark does.
add_executable(shift_sweep ${CMAKE_SOURCE_DIR}/tools/shift_sweep.cpp)
target_link_libraries(shift_sweep PRIVATE tambrino_static)

# The seams' measures on files: the players' seams (the JVM's SeamsTest runs
# it) and the peers' starts and ends (scripts/seams.sh).
add_executable(seam_measure ${CMAKE_SOURCE_DIR}/tools/seam_measure.cpp)

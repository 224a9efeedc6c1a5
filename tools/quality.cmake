# The quality benchmark's measuring tool. Not a test: CTest does not run it;
# scripts/quality.sh builds and runs it beside the command-line tool.
add_executable(quality_measure ${CMAKE_SOURCE_DIR}/tools/quality.cpp)

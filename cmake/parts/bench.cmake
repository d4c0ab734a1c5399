# The round-trip benchmark program (bench/run.py drives it); not a test.
add_executable(halvo_bench_version ${CMAKE_SOURCE_DIR}/bench/version_rtt.cpp)
target_link_libraries(halvo_bench_version PRIVATE halvo_core)
set_target_properties(halvo_bench_version PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench EXCLUDE_FROM_ALL ON)

# The round-trip benchmark program (bench/run.py drives it); not a test.
add_executable(halvo_bench_version ${CMAKE_SOURCE_DIR}/bench/version_rtt.cpp)
target_link_libraries(halvo_bench_version PRIVATE halvo_core)
set_target_properties(halvo_bench_version PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench EXCLUDE_FROM_ALL ON)

# A minimal console server in C for the console benchmarks.
add_executable(halvo_bench_console_server ${CMAKE_SOURCE_DIR}/bench/console_server.c)
target_compile_options(halvo_bench_console_server PRIVATE -Wall -Wextra)
set_target_properties(halvo_bench_console_server PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench EXCLUDE_FROM_ALL ON)
add_executable(halvo_bench_console ${CMAKE_SOURCE_DIR}/bench/console_rtt.cpp)
target_link_libraries(halvo_bench_console PRIVATE halvo_core)
set_target_properties(halvo_bench_console PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench EXCLUDE_FROM_ALL ON)

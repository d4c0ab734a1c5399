# Host mounts: the test helper process and the fake FUSE libraries that the
# support-check tests put on LD_LIBRARY_PATH.
if(HALVO_TESTS)
  add_executable(halvo_fs_helper ${CMAKE_SOURCE_DIR}/tests/helpers/halvo_fs_helper.cpp)
  target_link_libraries(halvo_fs_helper PRIVATE halvo_core)

  # name: folder; api: what fuse_version() answers; version: the real file's release.
  set(HALVO_FAKE_FUSE old:28:2.8.0 v3:29:3.0.0 api30:30:2.9.9 partial:29:2.9.9)
  set(HALVO_FAKE_FUSE_TARGETS)
  foreach(spec ${HALVO_FAKE_FUSE})
    string(REPLACE ":" ";" parts ${spec})
    list(GET parts 0 name)
    list(GET parts 1 api)
    list(GET parts 2 version)
    add_library(fakefuse_${name} SHARED ${CMAKE_SOURCE_DIR}/tests/helpers/fake_fuse.c)
    target_compile_definitions(fakefuse_${name} PRIVATE FAKE_API=${api})
    set_target_properties(fakefuse_${name} PROPERTIES
      OUTPUT_NAME fuse VERSION ${version} SOVERSION 2 C_VISIBILITY_PRESET default
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fakefuse/${name})
    list(APPEND HALVO_FAKE_FUSE_TARGETS fakefuse_${name})
  endforeach()

  # halvo_tests is defined after the parts; it needs these built beside it.
  cmake_language(DEFER CALL add_dependencies halvo_tests halvo_fs_helper ${HALVO_FAKE_FUSE_TARGETS})
endif()

# The benchmark (not a test; built on request: `cmake --build build --target
# halvo_bench_fuse fuse_peer`, then run build/halvo_bench_fuse as root).
find_library(HALVO_LIBFUSE NAMES fuse)
if(HALVO_LIBFUSE)
  add_executable(fuse_peer EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/fuse/peer.c)
  target_link_libraries(fuse_peer PRIVATE ${HALVO_LIBFUSE})
  add_executable(halvo_bench_fuse EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/fuse/bench.cpp)
  target_link_libraries(halvo_bench_fuse PRIVATE halvo_core)
  add_dependencies(halvo_bench_fuse fuse_peer)
endif()

# The upper-case table of the Dockerfile translator's instruction words.
set(HALVO_UPPER_TABLE ${CMAKE_BINARY_DIR}/generated/upper_table.cpp)
add_custom_command(
  OUTPUT ${HALVO_UPPER_TABLE}
  COMMAND ${Python_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/gen_upper.py ${HALVO_UPPER_TABLE}
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/gen_upper.py
  COMMENT "Generating the upper-case table")
target_sources(halvo_core PRIVATE ${HALVO_UPPER_TABLE})

# The upper-case table of the Dockerfile translator's instruction words.
halvo_generate(HALVO_UPPER_TABLE gen_upper.py upper_table.cpp)
target_sources(halvo_core PRIVATE ${HALVO_UPPER_TABLE})

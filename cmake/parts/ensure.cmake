# The install of the server program: HTTPS through libcurl, the archive
# through zlib and libarchive.
find_package(CURL REQUIRED)
find_package(LibArchive REQUIRED)
find_package(ZLIB REQUIRED)
target_link_libraries(halvo_core PRIVATE CURL::libcurl LibArchive::LibArchive ZLIB::ZLIB)
if(HALVO_TESTS)
  # The tests write their archives with libarchive too.
  cmake_language(DEFER CALL target_link_libraries halvo_tests PRIVATE LibArchive::LibArchive ZLIB::ZLIB)
endif()

#pragma once
// Hands our bytes to pymongo (tests/peer/reencode.py) and returns what it
// reports: empty when every document re-encodes to the same bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <string>
#include <utility>
#include <vector>

namespace halvo::peer {

inline std::string hex_bytes(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

inline std::string peer_reencode(const std::vector<std::pair<std::string, std::string>>& docs) {
    namespace fs = std::filesystem;
    auto dir = fs::temp_directory_path() / ("halvo-peer-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const auto& [name, bytes] : docs) std::ofstream(dir / (name + ".bson"), std::ios::binary) << bytes;
    std::string cmd = std::string(HALVO_PYTHON) + " " + HALVO_SOURCE_DIR + "/tests/peer/reencode.py " + dir.string() + " 2>&1";
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return "could not start the peer";
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = ::pclose(p);
    fs::remove_all(dir);
    if (status != 0 && out.empty()) out = "peer exited with status " + std::to_string(status);
    return out;
}

}  // namespace halvo::peer

#pragma once
// Small helpers shared by the file-system tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "fs/filesystem/filesystem.hpp"
#include "test_util.hpp"

namespace halvo {
// Failure messages name the kind.
inline void PrintTo(ErrorKind k, std::ostream* os) { *os << kind_text(k); }
}  // namespace halvo

namespace halvo::fs::test {

using halvo::test::TempDir;

inline void write_host_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

using halvo::test::read_file;

inline std::span<const std::uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The whole file through read_at.
inline IoResult<std::string> read_all(filesystem::FileSystem& fs, std::string_view path) {
    std::string out(4096, '\0');
    std::size_t total = 0;
    for (;;) {
        auto n = fs.read_at(path, {reinterpret_cast<std::uint8_t*>(out.data()) + total, out.size() - total}, total);
        if (!n) return fail(std::move(n).error());
        if (*n == 0) break;
        total += *n;
        if (total == out.size()) out.resize(out.size() * 2);
    }
    out.resize(total);
    return out;
}

inline std::vector<std::string> names(const std::vector<filesystem::Dirent>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.name);
    return out;
}

// The value of a result, or nothing on failure, for comparisons.
template <class T>
std::optional<T> ok(IoResult<T> r) {
    if (!r) return std::nullopt;
    return std::move(r).value();
}

// The kind of a failed result, or nothing on success.
template <class R>
std::optional<ErrorKind> kind_of(const R& r) {
    if (r) return std::nullopt;
    return r.error().kind;
}

}  // namespace halvo::fs::test

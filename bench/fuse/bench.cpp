// Throughput through our mount, against tmpfs and against a minimal
// low-level libfuse 2 file system in C (fuse_peer) in the same run. Not a
// test: it prints figures and the ratios to the two others.
//   halvo_bench_fuse [PEER]   (PEER defaults to fuse_peer beside it)
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fs/directory.hpp"
#include "fs/mount/impl/fuse_t.hpp"
#include "platform/process.hpp"

using namespace halvo;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kFileBytes = 256u << 20;
constexpr std::size_t kChunk = 128u << 10;
constexpr int kFiles = 2000;

struct Figures {
    double write_mbs, read_mbs, create_ops, stat_ops, unlink_ops;
};

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

Figures measure(const std::string& dir) {
    Figures f{};
    std::vector<char> chunk(kChunk, 'x');
    std::string big = dir + "/big";
    auto t = Clock::now();
    int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (std::size_t done = 0; done < kFileBytes; done += kChunk) (void)::write(fd, chunk.data(), kChunk);
    ::fsync(fd);
    ::close(fd);
    f.write_mbs = kFileBytes / 1e6 / seconds_since(t);

    t = Clock::now();
    fd = ::open(big.c_str(), O_RDONLY);
    while (::read(fd, chunk.data(), kChunk) > 0) {
    }
    ::close(fd);
    f.read_mbs = kFileBytes / 1e6 / seconds_since(t);
    ::unlink(big.c_str());

    std::vector<std::string> names;
    for (int i = 0; i < kFiles; ++i) names.push_back(dir + "/f" + std::to_string(i));
    t = Clock::now();
    for (auto& n : names) ::close(::open(n.c_str(), O_WRONLY | O_CREAT, 0644));
    f.create_ops = kFiles / seconds_since(t);
    t = Clock::now();
    struct stat st;
    for (auto& n : names) ::stat(n.c_str(), &st);
    f.stat_ops = kFiles / seconds_since(t);
    t = Clock::now();
    for (auto& n : names) ::unlink(n.c_str());
    f.unlink_ops = kFiles / seconds_since(t);
    return f;
}

bool mounted(const std::string& mp) {
    struct stat a, b;
    return ::stat(mp.c_str(), &a) == 0 && ::stat((mp + "/..").c_str(), &b) == 0 && a.st_dev != b.st_dev;
}

void print(const char* name, const Figures& f) {
    std::printf("%-8s write %8.1f MB/s  read %8.1f MB/s  create %9.0f/s  stat %9.0f/s  unlink %9.0f/s\n", name,
                f.write_mbs, f.read_mbs, f.create_ops, f.stat_ops, f.unlink_ops);
}

void ratio(const char* name, const Figures& ours, const Figures& other) {
    std::printf("halvo/%-6s write %8.2f       read %8.2f       create %9.2f    stat %9.2f    unlink %9.2f\n", name,
                ours.write_mbs / other.write_mbs, ours.read_mbs / other.read_mbs, ours.create_ops / other.create_ops,
                ours.stat_ops / other.stat_ops, ours.unlink_ops / other.unlink_ops);
}

}  // namespace

int main(int argc, char** argv) {
    std::string peer = argc > 1 ? argv[1] : (std::filesystem::path(argv[0]).parent_path() / "fuse_peer").string();
    char tmpl[] = "/tmp/halvo-bench-XXXXXX";
    std::string root = ::mkdtemp(tmpl);
    for (const char* d : {"/ours", "/tmpfs", "/peer"}) std::filesystem::create_directory(root + d);

    Figures ours{}, tmpfs{}, peer_f{};
    {
        auto m = fs::mount::impl::FuseTMount::mount(std::make_unique<fs::Directory>(), root + "/ours");
        if (!m) {
            std::fprintf(stderr, "mount: %s\n", m.error().text().c_str());
            return 1;
        }
        ours = measure(root + "/ours");
    }
    if (::mount("tmpfs", (root + "/tmpfs").c_str(), "tmpfs", 0, "size=1g") != 0) {
        std::perror("tmpfs");
        return 1;
    }
    tmpfs = measure(root + "/tmpfs");
    ::umount((root + "/tmpfs").c_str());

    auto child = platform::spawn(platform::Command(peer, {root + "/peer"}));
    if (!child) {
        std::fprintf(stderr, "%s: %s\n", peer.c_str(), child.error().text().c_str());
        return 1;
    }
    for (int i = 0; i < 500 && !mounted(root + "/peer"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    peer_f = measure(root + "/peer");
    (void)platform::run_command("umount", {root + "/peer"}, std::chrono::seconds(3), std::chrono::milliseconds(20));
    (void)child->wait_for(std::chrono::seconds(3));

    print("halvo", ours);
    print("tmpfs", tmpfs);
    print("peer", peer_f);
    ratio("tmpfs", ours, tmpfs);
    ratio("peer", ours, peer_f);
    std::filesystem::remove_all(root);
    return 0;
}

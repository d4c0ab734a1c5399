// Throughput through our mount, against tmpfs and against a minimal
// low-level libfuse 2 file system in C (fuse_peer) in the same run, several
// rounds taken in turn so that the machine's other load falls on all three
// alike. Not a test: it prints the median of each figure, and the median of
// each round's ratios. "read" follows the write, as a program reading what it
// just wrote; "cold" reads again with the page cache dropped first.
//   halvo_bench_fuse [PEER]   (PEER defaults to fuse_peer beside it)
//   halvo_bench_fuse tar      four `tar x` at once into one mount, then into
//                             four mounts, and into tmpfs for scale
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fs/directory.hpp"
#include "fs/mount/impl/fuse_t.hpp"
#include "platform/process.hpp"

using namespace halvo;
using Clock = std::chrono::steady_clock;
using fs::mount::impl::FuseTMount;

namespace {

constexpr std::size_t kFileBytes = 256u << 20;
constexpr std::size_t kChunk = 128u << 10;
constexpr int kFiles = 2000;
constexpr int kRounds = 7;

struct Figures {
    double write_mbs, read_mbs, cold_mbs, create_ops, stat_ops, unlink_ops;
};
constexpr double Figures::*kFields[] = {&Figures::write_mbs,  &Figures::read_mbs, &Figures::cold_mbs,
                                        &Figures::create_ops, &Figures::stat_ops, &Figures::unlink_ops};

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

    auto read_all = [&] {
        auto t = Clock::now();
        int fd = ::open(big.c_str(), O_RDONLY);
        while (::read(fd, chunk.data(), kChunk) > 0) {
        }
        ::close(fd);
        return kFileBytes / 1e6 / seconds_since(t);
    };
    f.read_mbs = read_all();
    fd = ::open(big.c_str(), O_RDONLY);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    f.cold_mbs = read_all();
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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Each figure's median; with `over`, the median of the round-by-round ratios.
Figures median(const std::vector<Figures>& runs, const std::vector<Figures>* over = nullptr) {
    Figures out{};
    for (auto field : kFields) {
        std::vector<double> v;
        for (std::size_t i = 0; i < runs.size(); ++i) v.push_back(runs[i].*field / (over ? (*over)[i].*field : 1.0));
        out.*field = median(v);
    }
    return out;
}

bool mounted(const std::string& mp) {
    struct stat a, b;
    return ::stat(mp.c_str(), &a) == 0 && ::stat((mp + "/..").c_str(), &b) == 0 && a.st_dev != b.st_dev;
}

std::unique_ptr<FuseTMount> mount_ours(const std::string& mp) {
    auto m = FuseTMount::mount(std::make_unique<fs::Directory>(), mp);
    if (!m) {
        std::fprintf(stderr, "mount: %s\n", m.error().text().c_str());
        std::exit(1);
    }
    return std::move(m).value();
}

void with_tmpfs(const std::string& mp, const std::function<void()>& body) {
    if (::mount("tmpfs", mp.c_str(), "tmpfs", 0, "size=2g") != 0) {
        std::perror("tmpfs");
        std::exit(1);
    }
    body();
    ::umount(mp.c_str());
}

void print(const char* name, const Figures& f) {
    std::printf("%-12s write %7.1f MB/s  read %7.1f MB/s  cold %7.1f MB/s  create %8.0f/s  stat %8.0f/s  unlink %8.0f/s\n",
                name, f.write_mbs, f.read_mbs, f.cold_mbs, f.create_ops, f.stat_ops, f.unlink_ops);
}

void ratio(const char* name, const Figures& r) {
    std::printf("%-12s write %7.2f       read %7.2f       cold %7.2f       create %8.2f    stat %8.2f    unlink %8.2f\n",
                name, r.write_mbs, r.read_mbs, r.cold_mbs, r.create_ops, r.stat_ops, r.unlink_ops);
}

int throughput(const std::string& root, const std::string& peer) {
    std::vector<Figures> ours, tmpfs, peers;
    for (int round = 0; round < kRounds; ++round) {
        {
            auto m = mount_ours(root + "/ours");
            ours.push_back(measure(root + "/ours"));
        }
        with_tmpfs(root + "/tmpfs", [&] { tmpfs.push_back(measure(root + "/tmpfs")); });
        auto child = platform::spawn(platform::Command(peer, {root + "/peer"}));
        if (!child) {
            std::fprintf(stderr, "%s: %s\n", peer.c_str(), child.error().text().c_str());
            return 1;
        }
        for (int i = 0; i < 500 && !mounted(root + "/peer"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        peers.push_back(measure(root + "/peer"));
        (void)platform::run_command("umount", {root + "/peer"}, std::chrono::seconds(3), std::chrono::milliseconds(20));
        (void)child->wait_for(std::chrono::seconds(3));
    }
    std::printf("medians of %d rounds\n", kRounds);
    print("halvo", median(ours));
    print("tmpfs", median(tmpfs));
    print("peer", median(peers));
    ratio("halvo/tmpfs", median(ours, &tmpfs));
    ratio("halvo/peer", median(ours, &peers));
    return 0;
}

// Four `tar x` of one archive, started together, one into each folder.
double four_tars(const std::string& archive, const std::vector<std::string>& into) {
    auto t = Clock::now();
    std::vector<platform::Child> tars;
    for (const auto& dir : into) {
        std::filesystem::create_directories(dir);
        platform::Command cmd("tar", {"-C", dir, "-xf", archive});
        auto child = platform::spawn(std::move(cmd));
        if (!child) {
            std::fprintf(stderr, "tar: %s\n", child.error().text().c_str());
            std::exit(1);
        }
        tars.push_back(std::move(child).value());
    }
    for (auto& c : tars) (void)c.wait_for(std::chrono::minutes(10));
    return seconds_since(t);
}

int tar_bench(const std::string& root) {
    // A source-tree-like archive: many small files in nested folders.
    std::string src = root + "/src";
    for (int d = 0; d < 40; ++d) {
        std::string dir = src + "/d" + std::to_string(d % 8) + "/s" + std::to_string(d);
        std::filesystem::create_directories(dir);
        for (int f = 0; f < 100; ++f) std::ofstream(dir + "/f" + std::to_string(f)) << std::string(4096 + f * 37, 'x');
    }
    std::string archive = root + "/tree.tar";
    (void)platform::run_command("tar", {"-C", src, "-cf", archive, "."}, std::chrono::minutes(5),
                                std::chrono::milliseconds(20));
    std::vector<double> one, four, tmp;
    for (int round = 0; round < kRounds; ++round) {
        {
            auto m = mount_ours(root + "/ours");
            std::vector<std::string> dirs;
            for (int i = 0; i < 4; ++i) dirs.push_back(root + "/ours/x" + std::to_string(i));
            one.push_back(four_tars(archive, dirs));
        }
        {
            std::vector<std::unique_ptr<FuseTMount>> mounts;
            std::vector<std::string> dirs;
            for (int i = 0; i < 4; ++i) {
                std::string mp = root + "/m" + std::to_string(i);
                std::filesystem::create_directories(mp);
                mounts.push_back(mount_ours(mp));
                dirs.push_back(mp + "/x");
            }
            four.push_back(four_tars(archive, dirs));
        }
        with_tmpfs(root + "/tmpfs", [&] {
            std::vector<std::string> dirs;
            for (int i = 0; i < 4; ++i) dirs.push_back(root + "/tmpfs/x" + std::to_string(i));
            tmp.push_back(four_tars(archive, dirs));
        });
    }
    std::printf("four tar x of 4000 files (%d serving threads per mount), medians of %d rounds:\n",
                fs::mount::impl::kServingThreads, kRounds);
    std::printf("one mount %.2f s   four mounts %.2f s   tmpfs %.2f s\n", median(one), median(four), median(tmp));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string arg = argc > 1 ? argv[1] : "";
    char tmpl[] = "/tmp/halvo-bench-XXXXXX";
    std::string root = ::mkdtemp(tmpl);
    for (const char* d : {"/ours", "/tmpfs", "/peer"}) std::filesystem::create_directory(root + d);
    int rc = arg == "tar" ? tar_bench(root)
                          : throughput(root, arg.empty()
                                                 ? (std::filesystem::path(argv[0]).parent_path() / "fuse_peer").string()
                                                 : arg);
    std::filesystem::remove_all(root);
    return rc;
}

#include "console/session.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "console_util.hpp"
#include "install/cache.hpp"
#include "stdio_util.hpp"

using namespace halvo;
using namespace std::chrono_literals;
using console::Bytes;
using console::ConsoleClient;
using console::ConsoleClientBuilder;
using protocol::Failure;
using protocol::FailureResult;
using test::Log;
namespace call = protocol::message::call;
namespace msg = protocol::message;

namespace {

using Events = std::vector<std::string>;

template <class T>
std::string outcome(const FailureResult<T>& r) {
    if (r) return "ok";
    if (const auto* chain = r.error().broken_chain()) return "broken: " + chain->render();
    return r.error().text();
}

ConsoleClient booted(ConsoleClientBuilder b) {
    auto c = test::await(std::move(b).build());
    if (!c) throw std::runtime_error(c.error().render());
    return std::move(c).value();
}

void close(ConsoleClient c) {
    auto closing = std::move(c).close();
    test::await(std::move(closing));
}

std::string build_error(ConsoleClientBuilder b) {
    auto c = test::await(std::move(b).build());
    return c ? "built" : c.error().render();
}

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A console on the stand-in, its log in a folder of its own.
struct StandIn {
    test::TempDir dir;
    std::string log = dir / "log";
    std::string scenario(const std::string& rest = "") const {
        return R"({"log": ")" + log + "\"" + (rest.empty() ? "" : ", " + rest) + "}";
    }
    ConsoleClientBuilder builder(const std::string& rest = "") const {
        return ConsoleClient::builder().cmd(test::stand_in(scenario(rest)));
    }
    std::string text() const { return test::read_file(log); }
    bool holds(const std::string& s) const { return test::eventually_holds(log, s); }
    // A server let go without quit runs on until it reads the end of its
    // input, which one held up by its scenario would do after the test.
    void kill_server() const {
        const std::string t = text(), key = R"({"pid": )";
        auto at = t.find(key);
        ASSERT_NE(at, std::string::npos) << t;
        ::kill(static_cast<pid_t>(std::stol(t.substr(at + key.size()))), SIGKILL);
    }
};

TEST(ConsoleBoot, FactoryThenMountsInOrderThenInit) {
    auto log = std::make_shared<Log>();
    auto console = booted(test::scripted_builder(log)
                              .mount(test::tracked(log, "/host/a"), "/a")
                              .mount_readonly(test::tracked(log, "/host/with blank"), "/b")
                              .mount(test::tracked(log, "/host/a"), "/a/again"));
    EXPECT_EQ(log->events(), (Events{"factory", "named /host/a", "named /host/with blank", "named /host/a", "call init"}));
    auto init = std::get<call::InitCall>(log->calls().at(0).v);
    std::vector<std::string> specs;
    for (const auto& m : init.mounts) specs.push_back(m.text());
    EXPECT_EQ(specs, (std::vector<std::string>{"file:///host/a:/a", "file:///host/with blank:/b:ro",
                                               "file:///host/a:/a/again"}));
    EXPECT_EQ(console.mounts(), (std::vector<std::string_view>{"/a", "/b", "/a/again"}));
}

TEST(ConsoleBoot, AMountThatCannotBeNamedReleasesEverythingBeforeTheClient) {
    struct Case {
        std::string mountpoint, at, error;
    };
    const Case cases[] = {
        {"relative/b", "/b", R"(a mount point that is not an absolute UTF-8 path cannot be named: "relative/b")"},
        {"", "/b", R"(a mount point that is not an absolute UTF-8 path cannot be named: "")"},
        {"/host/\xff", "/b", "a mount point that is not an absolute UTF-8 path cannot be named: \"/host/\xEF\xBF\xBD\""},
        {"/host/b", "/b\xfe", "a tree can only be mounted at a UTF-8 path: \"/b\xEF\xBF\xBD\""},
        {"/host/b", "b", R"(a guest path is absolute: "file:///host/b:b")"},
        {"/host/b", "", R"(a guest path is absolute: "file:///host/b:")"},
        {"/host/b", "/b:c", R"(a guest path cannot carry a colon: "file:///host/b:/b:c")"},
    };
    for (const auto& c : cases) {
        auto log = std::make_shared<Log>();
        EXPECT_EQ(build_error(test::scripted_builder(log)
                                  .mount(test::tracked(log, "/host/a"), "/a")
                                  .mount_readonly(test::tracked(log, c.mountpoint), c.at)
                                  .mount(test::tracked(log, "/host/c"), "/c")),
                  c.error);
        // The failing mount and the one after it, then the one taken, then
        // the client; no init and no quit.
        EXPECT_EQ(log->events(), (Events{"factory", "named /host/a", "named " + c.mountpoint, "release " + c.mountpoint,
                                         "release /host/c", "release /host/a", "client released"}))
            << c.error;
    }
}

TEST(ConsoleBoot, AFailedInitIsTheChainsCause) {
    struct Case {
        std::string name;
        FailureResult<msg::Response> answer;
        std::string failure;
    };
    const Case cases[] = {
        {"refused", fail(Failure::refused(msg::Error::make(7, "no"))), "the console server refused: no (7)"},
        {"broken", fail(Failure::broken(Chain("gone"))), "the console channel broke: gone"},
        {"answered with another kind", msg::Response{call::ExecResp{}},
         "the console server refused: asked init and was answered a exec result (-32603)"},
    };
    for (const auto& c : cases) {
        auto log = std::make_shared<Log>();
        auto answer = [&](const msg::Call&) { return c.answer; };
        auto built = test::await(test::scripted_builder(log, answer).mount(test::tracked(log, "/host/a"), "/a").build());
        ASSERT_FALSE(built) << c.name;
        const Failure* f = protocol::find_failure(built.error());
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(f->text(), c.failure);
        EXPECT_EQ(log->events(), (Events{"factory", "named /host/a", "call init", "release /host/a", "client released"}))
            << c.name;
    }
}

TEST(ConsoleBoot, AServerThatCannotStartLooksAtNoMount) {
    struct Case {
        std::vector<std::string> cmd;
        std::string error;
    };
    const Case cases[] = {
        {{}, "a console server needs a program to run"},
        {{"/nonexistent/halvo-uvm", "x"},
         "starting the console server: /nonexistent/halvo-uvm: No such file or directory (os error 2)"},
    };
    for (const auto& c : cases) {
        auto log = std::make_shared<Log>();
        EXPECT_EQ(build_error(ConsoleClient::builder().mount(test::tracked(log, "/host/a"), "/a").cmd(c.cmd)), c.error);
        EXPECT_EQ(log->events(), Events{"release /host/a"});
    }
}

TEST(ConsoleBoot, AMissingProgramSaysHowToGetIt) {
    // Only when nothing is there: a file exec cannot run is another matter.
    test::TempDir dir;
    const std::string there = dir / "there";
    { std::ofstream(there) << "#!/nonexistent/interpreter\n"; }
    ASSERT_EQ(::chmod(there.c_str(), 0755), 0);
    const std::string missing = dir / "missing";
    EXPECT_EQ(build_error(ConsoleClientBuilder(console::stdio_factory({missing}, "fetch it"))),
              "starting the console server: " + missing + " (fetch it): No such file or directory (os error 2)");
    EXPECT_EQ(build_error(ConsoleClientBuilder(console::stdio_factory({there}, "fetch it"))),
              "starting the console server: " + there + ": No such file or directory (os error 2)");
}

TEST(ConsoleBoot, ACancelledBootLetsGoOfTheTreesOffTheRuntime) {
    auto log = std::make_shared<Log>();
    test::TempDir folder;
    StandIn s;
    auto builder = s.builder(R"("rules": [{"index": 0, "actions": [{"delay_ms": 10000}]}])")
                       .mount(test::tracked(log, folder.path()), "/m");
    test::Task<ChainResult<ConsoleClient>> booting(std::move(builder).build());
    EXPECT_TRUE(s.holds(R"("method": "init")"));
    booting.cancel();
    EXPECT_THROW((void)booting.get(), asio::system_error);
    EXPECT_EQ(log->events_once(2), (Events{"named " + folder.path(), "release " + folder.path()}));
    s.kill_server();
}

// The cache root's server, as a shim that logs its arguments and folder.
struct CachedProgram {
    test::TempDir home;
    std::string args = home / "args";
    CachedProgram() {
        std::filesystem::create_directories(home / "bin");
        const std::string program = home / "bin/halvo-uvm";
        std::ofstream(program) << "#!/bin/sh\necho \"$# $PWD\" > '" << args << "'\nexec '" << HALVO_PYTHON << "' '"
                               << HALVO_SOURCE_DIR << "/tests/uvm/halvo-uvm'\n";
        ::chmod(program.c_str(), 0755);
    }
};

TEST(ConsoleBootEnv, TheDefaultServerIsTheCacheRootsAsItWasWhenTheBuilderWasMade) {
    CachedProgram cached;
    auto builder = [&] {
        test::EnvVar var("HALVO_HOME", cached.home.path().c_str());
        return ConsoleClient::builder();
    }();
    test::EnvVar moved("HALVO_HOME", "/nonexistent");
    close(booted(std::move(builder)));
    EXPECT_EQ(test::read_file(cached.args), "0 " + std::filesystem::current_path().string() + "\n");
}

TEST(ConsoleBootEnv, AnEmptyHalvoHomeIsTheWorkingFolderWhenTheServerStarts) {
    CachedProgram cached;
    test::EnvVar var("HALVO_HOME", "");
    auto builder = ConsoleClient::builder();
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(cached.home.path());
    auto built = test::await(std::move(builder).build());
    std::filesystem::current_path(before);
    ASSERT_TRUE(built) << built.error().render();
    close(std::move(built).value());
    EXPECT_EQ(test::read_file(cached.args), "0 " + cached.home.path() + "\n");
}

TEST(ConsoleBootEnv, WithoutAnyCacheFolderTheBuildFails) {
    test::EnvVar halvo_home("HALVO_HOME", nullptr), home("HOME", nullptr);
    auto builder = ConsoleClient::builder();
    EXPECT_EQ(build_error(std::move(builder)), kNoCacheRoot);
}

// The params of the init frame the stand-in received, as it logs them.
std::string init_params(const StandIn& s) {
    const std::string text = s.text(), head = R"("method": "init", "params": )", tail = R"(}, "violations": [])";
    const auto at = text.find(head);
    if (at == std::string::npos) return "no init frame: " + text;
    const auto end = text.find(tail, at);
    if (end == std::string::npos) return "a violation: " + text.substr(at);
    return text.substr(at + head.size(), end - at - head.size());
}

TEST(ConsoleStandIn, TheInitDocumentHasTheWidthsAndKeysOfTheProtocol) {
    // The stand-in refuses any other integer width, key order or key set;
    // it answers init without booting, so any setting goes.
    const std::string answer = R"("rules": [{"index": 0, "actions": [{"reply": "as", "method": "init"}]}])";
    struct Case {
        std::function<ConsoleClientBuilder(ConsoleClientBuilder)> set;
        std::string params;
    };
    const Recipe recipe{1, "alpine", {Step{Step::Run{"true"}}}};
    const Case cases[] = {
        {[](ConsoleClientBuilder b) { return b; }, "{}"},
        {[](ConsoleClientBuilder b) { return std::move(b).network(true); }, "{}"},
        {[&](ConsoleClientBuilder b) {
             return std::move(b)
                 .image(ImageSource{ImageSource::Recipe{recipe}})
                 .snapshot({0, 1, 255})
                 .network(false)
                 .ports({{1, 2}})
                 .ports({{8080, 80}, {2222, 22}})
                 .vcpus(2)
                 .memory_mib(4294967295u)
                 .gpu(false)
                 .gpu_memory_mib(256)
                 .disk_gib(8)
                 .mount(std::make_unique<fs::mount::PathMount>("/tmp/with blank"), "/data")
                 .mount_readonly(std::make_unique<fs::mount::PathMount>("/tmp"), "/t");
         },
         R"({"image": {"type": "recipe", "recipe": {"v": 1, "base": "alpine", "steps": [{"run": "true"}]}}, )"
         R"("snapshot": [0, 1, 255], "network": false, "ports": ["8080:80", "2222:22"], "vcpus": 2, )"
         R"("memory_mib": 4294967295, "gpu": false, "gpu_memory_mib": 256, "disk_gib": 8, )"
         R"("mounts": ["file:///tmp/with blank:/data", "file:///tmp:/t:ro"]})"},
        {[](ConsoleClientBuilder b) { return std::move(b).snapshot({}).vcpus(0).gpu(true); },
         R"({"snapshot": [], "vcpus": 0, "gpu": true})"},
    };
    for (const auto& c : cases) {
        StandIn s;
        close(booted(c.set(s.builder(answer))));
        EXPECT_EQ(init_params(s), c.params);
    }
}

template <class T>
int64_t refused_code(const FailureResult<T>& r) {
    return !r && r.error().refused_error() ? r.error().refused_error()->code : 0;
}

TEST(ConsoleStandIn, Operations) {
    test::TempDir host, ro;
    std::ofstream(host / "hello.txt") << "from the host";
    StandIn s;
    auto console = booted(s.builder()
                              .mount(std::make_unique<fs::mount::PathMount>(host.path()), "/data")
                              .mount_readonly(std::make_unique<fs::mount::PathMount>(ro.path()), "/ro"));

    auto ran = test::await(console.exec({"sh", "-c", "printf hi; printf oops >&2; exit 3"}, std::nullopt));
    ASSERT_TRUE(ran) << outcome(ran);
    EXPECT_EQ(*ran, (call::ExecResp{3, bytes("hi"), bytes("oops"), false}));
    EXPECT_EQ(refused_code(test::await(console.exec({"sleep", "5"}, 100))), -32000);
    EXPECT_EQ(refused_code(test::await(console.exec({"/nonexistent/program"}, std::nullopt))), -32001);

    auto size = test::await(console.write("/f", bytes("hello"), std::nullopt));
    ASSERT_TRUE(size) << outcome(size);
    EXPECT_EQ(*size, 5u);
    size = test::await(console.write("/f", bytes("J"), 0));
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, 5u);
    auto got = test::await(console.read("/f", std::nullopt, std::nullopt));
    ASSERT_TRUE(got) << outcome(got);
    EXPECT_EQ(*got, (call::ReadResp{bytes("Jello"), 5}));
    got = test::await(console.read("/f", 1, 2));
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, (call::ReadResp{bytes("el"), 5}));
    EXPECT_EQ(refused_code(test::await(console.read("/missing", std::nullopt, std::nullopt))), -32005);

    // The mounts: a host folder at its guest path, one of them read-only.
    got = test::await(console.read("/data/hello.txt", std::nullopt, std::nullopt));
    ASSERT_TRUE(got) << outcome(got);
    EXPECT_EQ(got->data, bytes("from the host"));
    ASSERT_TRUE(test::await(console.write("/data/back.txt", bytes("from the console"), std::nullopt)));
    EXPECT_EQ(test::read_file(host / "back.txt"), "from the console");
    EXPECT_EQ(refused_code(test::await(console.write("/ro/x", bytes("x"), std::nullopt))), -32007);

    EXPECT_EQ(outcome(test::await(console.start())), "ok");
    EXPECT_EQ(outcome(test::await(console.stop())), "ok");
    auto blob = test::await(console.snapshot());
    ASSERT_TRUE(blob) << outcome(blob);
    close(std::move(console));
    EXPECT_TRUE(s.holds(R"("method": "start"})"));
    EXPECT_TRUE(s.holds(R"("method": "stop"})"));

    // A second console boots from the snapshot.
    StandIn t;
    auto resumed = booted(t.builder().snapshot(*blob));
    got = test::await(resumed.read("/f", std::nullopt, std::nullopt));
    ASSERT_TRUE(got) << outcome(got);
    EXPECT_EQ(got->data, bytes("Jello"));
    close(std::move(resumed));
}

TEST(ConsoleClose, QuitThenTheClientThenTheTreesInOrderOffTheRuntime) {
    auto log = std::make_shared<Log>();
    auto console = booted(test::scripted_builder(log)
                              .mount(test::tracked(log, "/host/a"), "/a")
                              .mount(test::tracked(log, "/host/b"), "/b"));
    log->clear();
    auto closing = std::move(console).close();
    // Taken at the call: what is left refuses everything.
    EXPECT_EQ(outcome(test::await(console.exec({"true"}, std::nullopt))), "broken: the session has ended");
    EXPECT_TRUE(console.mounts().empty());
    test::await(std::move(closing));
    EXPECT_EQ(log->events(), (Events{"notify quit", "client released", "release /host/a", "release /host/b"}));
}

TEST(ConsoleClose, ACancelledCloseStillLetsGoOfTheTreesOffTheRuntime) {
    auto log = std::make_shared<Log>();
    auto console = booted(test::scripted_builder(log, {}, true).mount(test::tracked(log, "/host/a"), "/a"));
    log->clear();
    test::Task<void> closing(std::move(console).close());
    EXPECT_EQ(log->events_once(1), Events{"notify quit"});
    closing.cancel();
    EXPECT_THROW(closing.get(), asio::system_error);
    EXPECT_EQ(log->events_once(3), (Events{"notify quit", "client released", "release /host/a"}));
}

TEST(ConsoleClose, OnTheStandIn) {
    struct Case {
        std::string name, scenario;
        bool exits;  // the server logs its own end; a killed one cannot
    };
    const Case cases[] = {
        {"quits", "", true},
        {"already gone", R"("rules": [{"index": 0, "actions": [{"reply": "normal"}, {"exit": 0}]}])", true},
        {"ends badly on quit", R"("on_quit": [{"exit": 3}])", true},
    };
    for (const auto& c : cases) {
        test::TempDir folder;
        auto log = std::make_shared<Log>();
        StandIn s;
        auto console = booted(s.builder(c.scenario).mount(test::tracked(log, folder.path()), "/m"));
        close(std::move(console));
        EXPECT_EQ(log->events(), (Events{"named " + folder.path(), "release " + folder.path()})) << c.name;
        EXPECT_NE(s.text().find(R"("event": "exit")"), std::string::npos) << c.name;
    }
}

TEST(ConsoleClose, AServerThatIgnoresQuitIsKilledAfterTenSeconds) {
    auto log = std::make_shared<Log>();
    test::TempDir folder;
    StandIn s;
    auto console =
        booted(s.builder(R"("on_quit": "ignore", "on_eof": "ignore")").mount(test::tracked(log, folder.path()), "/m"));
    const auto start = std::chrono::steady_clock::now();
    close(std::move(console));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9s);
    EXPECT_EQ(log->events(), (Events{"named " + folder.path(), "release " + folder.path()}));
    EXPECT_NE(s.text().find(R"("event": "quit")"), std::string::npos);
    EXPECT_EQ(s.text().find(R"("event": "exit")"), std::string::npos);
}

TEST(ConsoleHangUp, WithTheRuntimeUpADetachedTaskQuitsThenReleases) {
    auto log = std::make_shared<Log>();
    std::unique_ptr<protocol::Client> slot = std::make_unique<test::ScriptedClient>(log);
    std::vector<console::Tree> keep;
    keep.push_back({"/a", test::tracked(log, "/host/a")});
    keep.push_back({"/b", test::tracked(log, "/host/b")});
    (void)rt::io();
    protocol::hang_up(slot, std::move(keep));
    // Spent is left in the slot at once.
    EXPECT_EQ(outcome(test::await(slot->version())), "broken: the session has ended");
    EXPECT_EQ(log->events_once(4), (Events{"notify quit", "client released", "release /host/a", "release /host/b"}));
}

TEST(ConsoleHangUp, WithoutARuntimeEverythingGoesAtOnceWithoutQuit) {
    (void)rt::io();
    // A forked child has no runtime until it makes one.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto log = std::make_shared<Log>();
        std::unique_ptr<protocol::Client> slot = std::make_unique<test::ScriptedClient>(log);
        std::vector<console::Tree> keep;
        keep.push_back({"/a", test::tracked(log, "/host/a")});
        keep.push_back({"/b", test::tracked(log, "/host/b")});
        const bool before = rt::started();
        protocol::hang_up(slot, std::move(keep));
        const bool ok = !before && !rt::started() && dynamic_cast<protocol::Spent*>(slot.get()) &&
                        log->events() == Events{"client released", "release /host/a", "release /host/b"};
        ::_exit(ok ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
}

TEST(ConsoleHangUp, ADroppedConsoleAsksItsServerToQuitThenLetsGoOfItsMounts) {
    auto log = std::make_shared<Log>();
    test::TempDir folder;
    StandIn s;
    { auto console = booted(s.builder().mount(test::tracked(log, folder.path()), "/m")); }
    EXPECT_TRUE(s.holds(R"("event": "quit")"));
    EXPECT_EQ(log->events_once(2), (Events{"named " + folder.path(), "release " + folder.path()}));
}

}  // namespace

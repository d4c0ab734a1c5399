#include "protocol/stdio/client.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "stdio_util.hpp"

using namespace halvo;
using namespace halvo::protocol;
using namespace halvo::protocol::stdio;
using namespace std::chrono_literals;
namespace call = message::call;

namespace {

StdioClient open(const std::string& scenario = "{}", std::chrono::nanoseconds quit_wait = 1s) {
    auto argv = test::stand_in(scenario);
    platform::Command cmd(argv[0], {argv.begin() + 1, argv.end()});
    auto c = StdioClient::create(std::move(cmd), quit_wait);
    if (!c) throw std::runtime_error(c.error().text());
    return std::move(c).value();
}

// "ok", or the failure's text with the whole chain of a broken one.
template <class T>
std::string outcome(const FailureResult<T>& r) {
    if (r) return "ok";
    if (const auto* chain = r.error().broken_chain()) return "broken: " + chain->render();
    return r.error().text();
}

std::string stray(uint64_t id) {
    return "console: a response arrived for request " + std::to_string(id) + ", which nobody made\n";
}

// Sends this process's fd 2 to a file for the life of the object.
class CapturedStderr {
public:
    CapturedStderr() : saved_(::dup(STDERR_FILENO)) {
        int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~CapturedStderr() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    std::string text() const { return test::read_file(file_); }
    bool eventually_holds(const std::string& s) const { return test::eventually_holds(file_, s); }

private:
    test::TempDir dir_;
    std::string file_ = dir_ / "stderr";
    int saved_;
};

std::string rule0(const std::string& actions) { return R"({"rules": [{"index": 0, "actions": )" + actions + "}]}"; }

TEST(StdioClient, IdsFromZeroAndStraysInArrivalOrder) {
    CapturedStderr err;
    auto c = open(R"({"rules": [{"index": 1, "actions": [{"stray": [5]}, {"stray": [6], "error": true}]}]})");
    // The server exits on any id out of sequence, so two answers prove 0 and 1.
    EXPECT_EQ(outcome(test::await(c.version())), "ok");
    auto v = test::await(c.version());
    ASSERT_TRUE(v) << v.error().debug();
    EXPECT_EQ(v->version, "0.1.2+stand-in");
    EXPECT_EQ(err.text(), stray(5) + stray(6));
    EXPECT_EQ(outcome(test::await(c.quit())), "ok");
}

TEST(StdioClient, FailedSendUsesUpItsId) {
    test::TempDir dir;
    auto c = open(R"({"ids": "increasing", "log": ")" + (dir / "log") + R"("})");
    call::WriteCall big{"/f", codec::Bytes(channel::kMaxFrame, 1), std::nullopt};
    auto r = test::await(c.write(big));
    EXPECT_EQ(outcome(r).rfind("broken: sending a message: a frame of ", 0), 0u) << outcome(r);
    EXPECT_EQ(outcome(test::await(c.version())), "ok");
    const std::string log = test::read_file(dir / "log");
    EXPECT_NE(log.find(R"("id": 1)"), std::string::npos) << log;
    EXPECT_EQ(log.find(R"("id": 0)"), std::string::npos) << log;
}

TEST(StdioClient, AnswersThatFailACall) {
    // Each failure leaves the channel usable: the next call gets its answer,
    // after skipping the first call's own answer where one still followed.
    const std::string eof = "broken: the server closed the channel before answering request 0";
    struct Case {
        std::string actions;
        std::string want;
        bool answer_follows;
    };
    const Case cases[] = {
        {R"([{"reply": "error", "code": 7, "message": "seven"}])", "the console server refused: seven (7)", false},
        {R"([{"reply": "error", "code": -32012, "message": "x"}])", "the console server refused: x (-32012)", false},
        {R"([{"reply": "as", "method": "exec"}])",
         "the console server refused: asked version and was answered a exec result (-32603)", false},
        {R"([{"notify": "start"}])", "broken: the server sent Notification(Start), which a client cannot answer",
         true},
        {R"([{"send": {"jsonrpc": "2.0", "id": {"$i64": 0}, "method": "version"}, "inner_length": 99}])",
         "broken: reading a message: reading a message: BSON error", true},
    };
    for (const auto& c : cases) {
        CapturedStderr err;
        auto client = open(rule0(c.actions));
        const std::string got = outcome(test::await(client.version()));
        EXPECT_EQ(got.substr(0, c.want.size()), c.want);
        EXPECT_EQ(outcome(test::await(client.version())), "ok") << c.actions;
        EXPECT_EQ(err.text(), c.answer_follows ? stray(0) : "") << c.actions;
    }

    // A request from the server breaks the call too; it is not answered.
    auto client = open(rule0(R"([{"request": "version", "id": 3}, {"reply": "none"}])"));
    const std::string got = outcome(test::await(client.version()));
    EXPECT_EQ(got.rfind("broken: the server sent Request", 0), 0u) << got;
    EXPECT_NE(got.find(", which a client cannot answer"), std::string::npos) << got;

    auto closed = open(rule0(R"([{"close_stdout": true}])"));
    EXPECT_EQ(outcome(test::await(closed.version())), eof);
}

TEST(StdioClient, QuitOutcomes) {
    const std::string ended = "broken: the console server ended with ";
    struct Case {
        std::string scenario;
        std::string want;
    };
    const Case cases[] = {
        {"{}", "ok"},
        {R"({"on_quit": [{"exit": 3}]})", ended + "exit status: 3"},
        {R"({"on_quit": [{"signal": "SIGTERM"}]})", ended + "signal: " + std::to_string(SIGTERM) + " (SIGTERM)"},
        {R"({"on_quit": "ignore", "on_eof": "ignore"})",
         "broken: the console server was still running 1s after quit, so it was killed"},
        // Ignoring quit but not the end of input is a clean end.
        {R"({"on_quit": "ignore"})", "ok"},
        // Already gone: the Quit write fails, and the exit status decides.
        {rule0(R"([{"reply": "normal"}, {"exit": 0}])"), "ok"},
        {rule0(R"([{"reply": "normal"}, {"exit": 4}])"), ended + "exit status: 4"},
    };
    for (const auto& c : cases) {
        auto client = open(c.scenario);
        EXPECT_EQ(outcome(test::await(client.version())), "ok") << c.scenario;
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(outcome(test::await(client.quit())), c.want) << c.scenario;
        EXPECT_FALSE(client.pid());
        // Afterwards: quit again succeeds at once, notify reaches nobody, a
        // call finds the channel closed.
        EXPECT_EQ(outcome(test::await(client.quit())), "ok");
        EXPECT_EQ(outcome(test::await(client.start())), "ok");
        EXPECT_EQ(outcome(test::await(client.version())),
                  "broken: the server closed the channel before answering request 1");
    }
}

TEST(StdioClient, ServerIgnoringEverythingIsKilledAfterTenSeconds) {
    auto client = open(R"({"on_quit": "ignore", "on_eof": "ignore"})", kQuitWait);
    EXPECT_EQ(outcome(test::await(client.quit())),
              "broken: the console server was still running 10s after quit, so it was killed");
}

TEST(StdioClient, QuitWriteIsBoundedWhenTheServerStopsReading) {
    // The server sleeps without reading; a cancelled call has left its input
    // pipe all but full, so the Quit frame cannot be written.
    auto client = open(R"({"at_start": [{"delay_ms": 60000}]})");
    call::WriteCall filler{"/f", {0}, std::nullopt};
    auto frame_size = [&] {
        return 4 + message::Message{message::Message::Request{0, message::Call{filler}}}.write()->size();
    };
    filler.data = codec::Bytes(65536 - 10 - (frame_size() - 1), 0);
    ASSERT_EQ(frame_size(), 65536u - 10);
    test::Task<FailureResult<call::WriteResp>> call(client.write(filler));
    EXPECT_FALSE(call.ready_within(200ms));
    call.cancel();
    EXPECT_THROW((void)call.get(), asio::system_error);
    EXPECT_EQ(outcome(test::await(client.quit())),
              "broken: the console server was still running 1s after quit, so it was killed");
}

TEST(StdioClient, StderrIsCopiedVerbatimAlsoAfterQuit) {
    CapturedStderr err;
    // Not UTF-8 and no final newline; the second part comes from a grandchild
    // after quit has stopped waiting for the copy.
    auto client = open(R"({"at_start": [{"stderr": "ff0061"}],
                           "on_quit": [{"grandchild": {"delay_ms": 3000, "stderr": "62fe0a63"}}, {"exit": 0}]})");
    EXPECT_EQ(outcome(test::await(client.version())), "ok");
    EXPECT_EQ(outcome(test::await(client.quit())), "ok");
    EXPECT_EQ(err.text(), std::string("\xff\x00" "a", 3));
    EXPECT_TRUE(err.eventually_holds(std::string("\xff\x00" "ab\xfe\nc", 7)));
    EXPECT_EQ(err.text(), std::string("\xff\x00" "ab\xfe\nc", 7));
}

// What each open descriptor of a process names, such as "pipe:[1234]".
std::vector<std::string> fd_targets(pid_t pid) {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code ec;
        out.push_back(std::filesystem::read_symlink(e.path(), ec).string());
    }
    return out;
}

bool reaped(pid_t pid) {
    // A zombie keeps its /proc entry until it is reaped.
    for (int i = 0; i < 1000; ++i) {
        if (!std::filesystem::exists("/proc/" + std::to_string(pid))) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(StdioClient, ProcessHygiene) {
    // B starts while A lives: had B inherited A's stdin, A's server would
    // never see the end of its input and would be killed.
    const std::string deaf = R"({"on_quit": "ignore"})";
    auto a = open(deaf, kQuitWait);
    auto b = open(deaf, kQuitWait);
    EXPECT_EQ(outcome(test::await(a.version())), "ok");
    EXPECT_EQ(outcome(test::await(b.version())), "ok");
    // A's server's pipes (its stdin, stdout and stderr) reach no other server.
    for (int fd = 0; fd <= 2; ++fd) {
        const auto mine = std::filesystem::read_symlink("/proc/" + std::to_string(*a.pid()) + "/fd/" + std::to_string(fd));
        ASSERT_EQ(mine.string().rfind("pipe:", 0), 0u);
        for (const auto& theirs : fd_targets(*b.pid())) EXPECT_NE(mine.string(), theirs);
    }
    const pid_t pa = *a.pid();
    EXPECT_EQ(outcome(test::await(a.quit())), "ok");
    EXPECT_TRUE(reaped(pa));

    // Dropped without quit: its server ends on EOF and leaves no zombie.
    const pid_t pb = *b.pid();
    { StdioClient gone = std::move(b); }
    EXPECT_TRUE(reaped(pb));
}

TEST(StdioClient, UnknownProgramLeavesNothing) {
    auto count = [] {
        std::size_t n = 0;
        for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    const std::size_t before = count();
    auto c = StdioClient::create(platform::Command("halvo-no-such-program-here"));
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error(), IoError::os(ENOENT));
    EXPECT_EQ(count(), before);
}

TEST(StdioClient, CancelledCallsLeaveTheChannelAligned) {
    // Once while the server delays its answer, once with half the answer in.
    // The first call warms the server up, so the half frame is surely in
    // before the cancel.
    for (const std::string actions : {R"([{"delay_ms": 1500}])", R"([{"reply": "normal", "split_ms": 1500}])"}) {
        CapturedStderr err;
        auto client = open(R"({"rules": [{"index": 1, "actions": )" + actions + "}]}");
        EXPECT_EQ(outcome(test::await(client.version())), "ok");
        test::Task<FailureResult<call::VersionResp>> second(client.version());
        EXPECT_FALSE(second.ready_within(400ms));
        second.cancel();
        try {
            (void)second.get();
            ADD_FAILURE() << "the call was not cancelled";
        } catch (const asio::system_error& e) {
            EXPECT_EQ(e.code(), asio::error::operation_aborted);
        }
        EXPECT_EQ(outcome(test::await(client.version())), "ok") << actions;
        EXPECT_EQ(err.text(), stray(1)) << actions;
        EXPECT_EQ(outcome(test::await(client.quit())), "ok") << actions;
    }
}

TEST(StdioClient, AFramePartlyWrittenByBeginIsFinishedBeforeAnythingElse) {
    // The server sleeps before it reads, so only part of the frame fits its
    // pipe; the call that began it then gives up, and the next one must
    // still find the channel in step.
    CapturedStderr err;
    auto client = open(R"({"at_start": [{"delay_ms": 500}]})");
    message::Call big{call::WriteCall{"/f", codec::Bytes(4 << 20, 1), std::nullopt}};
    auto begun = client.begin(big);
    ASSERT_TRUE(begun);
    EXPECT_EQ(begun->how, DirectCalls::Begun::How::Staged);
    // Before it is finished, nothing else may start on the calling thread.
    message::Call small{call::VersionCall{}};
    EXPECT_FALSE(client.begin(small));
    EXPECT_EQ(outcome(test::await(client.version())), "ok");
    EXPECT_EQ(err.text(), stray(0));
    EXPECT_EQ(outcome(test::await(client.quit())), "ok");
}

TEST(StdioClient, SpentRefusesEverything) {
    Spent spent;
    const std::string ended = "broken: the session has ended";
    EXPECT_EQ(outcome(test::await(spent.version())), ended);
    EXPECT_EQ(outcome(test::await(spent.exec(call::ExecCall{{"true"}, std::nullopt}))), ended);
    EXPECT_EQ(outcome(test::await(spent.start())), ended);
    EXPECT_EQ(outcome(test::await(spent.quit())), ended);
}

}  // namespace

#include "protocol/stdio/channel.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "bson_peer.hpp"
#include "stdio_util.hpp"

using namespace halvo;
using namespace halvo::protocol;
using namespace halvo::protocol::stdio;
using namespace std::chrono_literals;
using message::Message;
namespace call = message::call;

namespace {

platform::Pipe pipe_or_die() {
    auto p = platform::make_pipe();
    if (!p) throw std::runtime_error(p.error().text());
    return std::move(p).value();
}

void put(const platform::Fd& fd, const std::string& bytes) {
    ASSERT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string body_of(const Message& m) { return m.write().value(); }

std::string frame_of(const std::string& body) {
    const auto n = static_cast<uint32_t>(body.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + body;
}

Message version_request(uint64_t id) { return Message{Message::Request{id, message::Call{call::VersionCall{}}}}; }

// What one read gave: "none", the message's debug form, or the error's kind and text.
std::string outcome(IoResult<std::optional<Message>> r) {
    if (!r) return std::string(kind_text(r.error().kind)) + ": " + r.error().text();
    if (!*r) return "none";
    return (*r)->debug();
}

// Reads until the stream ends, at most `reads` times.
std::vector<std::string> read_all(const std::string& input, std::size_t reads) {
    auto p = pipe_or_die();
    put(p.write, input);
    p.write.reset();
    channel::FrameReader reader(std::move(p.read));
    std::vector<std::string> out;
    for (std::size_t i = 0; i < reads; ++i) {
        out.push_back(outcome(test::await(channel::read(reader))));
        if (out.back() == "none") break;
    }
    return out;
}

TEST(ChannelFraming, ReadTable) {
    const std::string v0 = body_of(version_request(0));
    const std::string v1 = body_of(version_request(1));
    const std::string d0 = version_request(0).debug(), d1 = version_request(1).debug();
    const std::string eof = "unexpected end of file: a frame ended mid-way";
    std::string inner_off = v0;
    inner_off[0] = char(inner_off[0] + 1);  // the document says one byte more than the frame holds

    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"empty stream", "", {"none"}},
        {"one length byte", std::string("\0", 1), {eof}},
        {"three length bytes", std::string("\0\0\1", 3), {eof}},
        {"zero length", std::string("\0\0\0\0", 4) + v0, {"invalid data: a frame of no bytes cannot be a message"}},
        {"one over the limit",
         peer::hex_bytes("04000001") + v0,
         {"invalid data: a frame of 67108865 bytes is more than the 67108864 this protocol agrees to accept"}},
        {"length beyond the stream", peer::hex_bytes("00000100") + v0, {eof}},
        {"no body at all", peer::hex_bytes("00000010"), {eof}},
        {"two frames back to back", frame_of(v0) + frame_of(v1), {d0, d1, "none"}},
        {"then a torn frame", frame_of(v0) + frame_of(v1).substr(0, 9), {d0, eof}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read_all(c.input, c.want.size()), c.want) << c.name;
    }

    // The decoder's own text follows the prefix; its wording is the codec's.
    auto bad = read_all(frame_of(inner_off), 1);
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].rfind("invalid data: reading a message: BSON error", 0), 0u) << bad[0];
}

TEST(ChannelFraming, TooLongLeavesTheBodyUnread) {
    // Nothing past the length is consumed: the next read starts at the body.
    const std::string v0 = body_of(version_request(0));
    auto got = read_all(peer::hex_bytes("04000001") + frame_of(v0), 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], version_request(0).debug());
}

TEST(ChannelFraming, WriteIsBigEndianAndWhole) {
    // An exec call padded until its document is exactly 300 bytes long.
    call::ExecCall exec{{"echo", ""}, std::nullopt};
    Message m{Message::Request{0, message::Call{exec}}};
    while (body_of(m).size() < 300) {
        std::get<call::ExecCall>(std::get<Message::Request>(m.v).call.v).cmd[1] += 'x';
    }
    ASSERT_EQ(body_of(m).size(), 300u);

    auto p = pipe_or_die();
    channel::FrameWriter writer(std::move(p.write));
    ASSERT_TRUE(test::await(channel::write(writer, m)));
    writer.discard();
    char buf[512];
    ssize_t n = ::read(p.read.get(), buf, sizeof buf);
    ASSERT_EQ(n, 304);
    EXPECT_EQ(std::string(buf, 4), peer::hex_bytes("0000012C"));
    EXPECT_EQ(std::string(buf + 4, 300), body_of(m));
    // A discarded writer drops frames without failing.
    EXPECT_TRUE(test::await(channel::write(writer, m)));
}

TEST(ChannelFraming, OversizedWriteFailsBeforeAnyByte) {
    call::WriteCall big{"/f", codec::Bytes(channel::kMaxFrame, 7), std::nullopt};
    Message m{Message::Request{0, message::Call{big}}};
    const std::size_t size = body_of(m).size();
    ASSERT_GT(size, channel::kMaxFrame);

    auto p = pipe_or_die();
    channel::FrameWriter writer(std::move(p.write));
    auto r = test::await(channel::write(writer, m));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidData);
    EXPECT_EQ(r.error().text(), "a frame of " + std::to_string(size) +
                                    " bytes is more than the 67108864 this protocol agrees to send");
    writer.discard();
    char c;
    EXPECT_EQ(::read(p.read.get(), &c, 1), 0) << "the pipe must stay empty";
}

// A response with large binaries at two places, so its frame has pieces
// between copied parts.
Message gathered_response() {
    std::vector<uint8_t> out(200'000), err(bson::kLargeBinary);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7);
    for (std::size_t i = 0; i < err.size(); ++i) err[i] = static_cast<uint8_t>(i * 13 + 1);
    return Message{Message::Response{
        7, message::Response{call::ExecResp{3, codec::Bytes(std::move(out)), codec::Bytes(std::move(err)), true}}}};
}

// Everything that arrives at `fd` until its writing end is closed.
std::string drained(int fd) {
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
    return got;
}

TEST(ChannelFraming, GatheredFrameIsTheWholeFrameByteForByte) {
    // On a pipe the pieces are lent to it; on a socket they are copied.
    struct C {
        const char* what;
        platform::Fd read, write;
    };
    std::vector<C> cases;
    auto p = pipe_or_die();
    cases.push_back({"pipe", std::move(p.read), std::move(p.write)});
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    cases.push_back({"socket", platform::Fd(sv[0]), platform::Fd(sv[1])});
    const Message m = gathered_response();
    for (auto& c : cases) {
        std::string got;
        std::thread drain([&got, fd = c.read.get()] { got = drained(fd); });
        channel::FrameWriter writer(std::move(c.write));
        EXPECT_TRUE(test::await(channel::write(writer, m))) << c.what;
        writer.discard();
        drain.join();
        EXPECT_EQ(got, frame_of(body_of(m))) << c.what;
    }
}

TEST(ChannelFraming, LentPiecesAreKeptUntilAnAnswerFindsThePipeEmpty) {
    // Pipes that hold the whole frame, so each write ends with no reader.
    auto p = pipe_or_die();
    platform::grow_pipe(p.write.get(), 1 << 20);
    channel::FrameWriter writer(std::move(p.write));
    {
        const Message m = gathered_response();
        ASSERT_TRUE(test::await(channel::write(writer, m)));
    }  // the message is gone; the pipe still reads from its pieces
    writer.answered();
    auto kept = writer.take_lent();
    EXPECT_EQ(kept.size(), 2u) << "an answer while the pipe still holds the frame lets go of nothing";

    std::string got;
    std::thread drain([&got, fd = p.read.get()] { got = drained(fd); });
    writer.discard();
    drain.join();
    EXPECT_EQ(got, frame_of(body_of(gathered_response())));

    auto q = pipe_or_die();
    platform::grow_pipe(q.write.get(), 1 << 20);
    channel::FrameWriter drained_writer(std::move(q.write));
    ASSERT_TRUE(test::await(channel::write(drained_writer, gathered_response())));
    std::string rest(gathered_response().write()->size() + 4, '\0');
    std::size_t at = 0;
    while (at < rest.size()) {
        ssize_t n = ::read(q.read.get(), rest.data() + at, rest.size() - at);
        ASSERT_GT(n, 0);
        at += static_cast<std::size_t>(n);
    }
    drained_writer.answered();
    EXPECT_TRUE(drained_writer.take_lent().empty()) << "an answer with the pipe empty lets go";
}

TEST(ChannelFraming, LargeFrameRoundTrip) {
    // Bigger than the pipe and the read buffer: the body is read past the buffer.
    std::vector<uint8_t> data(3 << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
    call::WriteCall big{"/f", codec::Bytes(std::move(data)), std::nullopt};
    Message m{Message::Request{5, message::Call{big}}};

    auto p = pipe_or_die();
    channel::FrameReader reader(std::move(p.read));
    channel::FrameWriter writer(std::move(p.write));
    test::Task<IoResult<std::optional<Message>>> reading(channel::read(reader));
    ASSERT_TRUE(test::await(channel::write(writer, m)));
    auto got = reading.get();
    ASSERT_TRUE(got && *got);
    EXPECT_EQ(**got, m);
}

TEST(ChannelFraming, CancelledReadKeepsItsPartialFrame) {
    const std::string f = frame_of(body_of(version_request(3))) + frame_of(body_of(version_request(4)));
    auto p = pipe_or_die();
    channel::FrameReader reader(std::move(p.read));
    // Cancelled once with two length bytes in, once with part of the body in;
    // the third read finishes the frame from where they stood.
    put(p.write, f.substr(0, 2));
    test::Task<IoResult<std::optional<Message>>> first(channel::read(reader));
    EXPECT_FALSE(first.ready_within(100ms));
    first.cancel();
    EXPECT_THROW(first.get(), asio::system_error);

    put(p.write, f.substr(2, 7));
    test::Task<IoResult<std::optional<Message>>> second(channel::read(reader));
    EXPECT_FALSE(second.ready_within(100ms));
    second.cancel();
    EXPECT_THROW(second.get(), asio::system_error);

    put(p.write, f.substr(9));
    p.write.reset();
    EXPECT_EQ(outcome(test::await(channel::read(reader))), version_request(3).debug());
    EXPECT_EQ(outcome(test::await(channel::read(reader))), version_request(4).debug());
    EXPECT_EQ(outcome(test::await(channel::read(reader))), "none");
}

}  // namespace

namespace {

TEST(ChannelFraming, AForkedChildLettingGoOfItsCopiesLeavesItsParentsChannelWorking) {
    // Far more than the pipe holds: both ends wait on the runtime's reactor.
    call::WriteCall big{"/f", codec::Bytes(1 << 20, 9), std::nullopt};
    Message m{Message::Request{0, message::Call{big}}};
    auto p = pipe_or_die();
    channel::FrameReader reader(std::move(p.read));
    channel::FrameWriter writer(std::move(p.write));
    // A read in flight as the fork happens.
    test::Task<IoResult<std::optional<Message>>> reading(channel::read(reader));
    EXPECT_FALSE(reading.ready_within(100ms));
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        {
            channel::FrameReader r = std::move(reader);
            channel::FrameWriter w = std::move(writer);
            w.discard();
        }
        std::_Exit(0);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    test::Task<IoResult<void>> writing(channel::write(writer, m));
    ASSERT_TRUE(writing.ready_within(10s));
    EXPECT_TRUE(writing.get());
    ASSERT_TRUE(reading.ready_within(10s));
    auto got = reading.get();
    ASSERT_TRUE(got && *got);
    EXPECT_EQ(**got, m);
}

TEST(ChannelFraming, CancelledWriteStillSendsTheWholeFrame) {
    // Far more than the pipe holds, so the write waits for the reader.
    call::WriteCall big{"/f", codec::Bytes(1 << 20, 9), std::nullopt};
    Message m{Message::Request{0, message::Call{big}}};
    auto p = pipe_or_die();
    channel::FrameWriter writer(std::move(p.write));
    test::Task<IoResult<void>> writing(channel::write(writer, m));
    EXPECT_FALSE(writing.ready_within(100ms));
    writing.cancel();
    EXPECT_FALSE(writing.ready_within(100ms));

    channel::FrameReader reader(std::move(p.read));
    auto got = test::await(channel::read(reader));
    ASSERT_TRUE(got && *got);
    EXPECT_EQ(**got, m);
    EXPECT_TRUE(writing.get());
}

}  // namespace

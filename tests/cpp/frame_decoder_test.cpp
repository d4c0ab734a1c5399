#include "protocol/stdio/frame.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "frame_steps.hpp"
#include "protocol/stdio/client.hpp"

using namespace halvo;
using namespace halvo::protocol;
using namespace halvo::protocol::stdio;
using message::Message;
using frame::FrameDecoder;
namespace call = message::call;

namespace {

std::string wire(const Message& m) {
    auto f = frame::encode(m).value();
    return std::string(f.head.begin(), f.head.end()) + std::move(f.body).flat();
}

Message request(uint64_t id, size_t data) {
    return Message{Message::Request{id, message::Call{call::WriteCall{"/f", codec::Bytes(data, 'x'), std::nullopt}}}};
}

// Every step, with each frame's message shown by its start and size.
std::vector<std::string> steps(const std::string& bytes, const std::vector<size_t>& chunks) {
    auto out = test::frame_steps(bytes.data(), bytes.size(), chunks);
    for (auto& step : out) {
        if (!step.starts_with("frame ")) continue;
        const std::string body = step.substr(6);
        auto m = frame::decode(frame::Body{Blob(body), std::nullopt});
        step = m ? m->debug().substr(0, 40) + "/" + std::to_string(body.size()) : m.error().text();
    }
    for (auto& step : out)
        if (step.starts_with("error ")) step = step.substr(6);
    return out;
}

TEST(FrameDecoder, ChunkingNeverChangesWhatComesOut) {
    // Small frames, one that fills the staging buffer exactly, and large
    // ones read straight into their bodies.
    std::string stream;
    for (size_t data : {0, 10, 8000, 8192 - 60, 70000, 3, 1 << 20}) stream += wire(request(data, data));
    const auto whole = steps(stream, {stream.size()});
    ASSERT_EQ(whole.size(), 8u);
    EXPECT_EQ(whole.back(), "end");
    for (std::vector<size_t> chunks : std::vector<std::vector<size_t>>{
             {1}, {3}, {4}, {5}, {8191}, {8192}, {8193}, {1, 4096, 2, 70001}}) {
        EXPECT_EQ(steps(stream, chunks), whole) << "chunk " << chunks[0];
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<size_t> chunks;
        for (int i = 0; i < 50; ++i) chunks.push_back(1 + rng() % 20000);
        EXPECT_EQ(steps(stream, chunks), whole) << "round " << round;
    }
}

TEST(FrameDecoder, FaultsAndTheEnd) {
    const std::string v0 = wire(request(0, 1));
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> want;
    };
    const std::string eof = "a frame ended mid-way";
    const Case cases[] = {
        {"nothing", "", {"end"}},
        {"part of a length", std::string("\0\0", 2), {eof}},
        {"part of a body", v0.substr(0, v0.size() - 1), {eof}},
        {"zero length", std::string("\0\0\0\0", 4), {"a frame of no bytes cannot be a message"}},
        {"over the limit", std::string("\x04\0\0\x01", 4),
         {"a frame of 67108865 bytes is more than the 67108864 this protocol agrees to accept"}},
        {"not a message", std::string("\0\0\0\5\5\0\0\0\0", 9), {}},
    };
    for (const auto& c : cases) {
        auto got = steps(c.bytes, {1});
        if (c.want.empty()) {
            ASSERT_EQ(got.size(), 2u) << c.name;
            EXPECT_TRUE(got[0].starts_with("reading a message: ")) << got[0];
        } else {
            EXPECT_EQ(got, c.want) << c.name;
        }
    }
}

TEST(FrameDecoder, TheLimitItselfIsAccepted) {
    FrameDecoder d;
    auto space = d.space();
    std::memcpy(space.data(), "\x04\0\0\0", 4);
    d.commit(4);
    EXPECT_TRUE(std::holds_alternative<FrameDecoder::NeedMore>(d.next()));
    EXPECT_EQ(d.announced(), frame::kMaxFrame);
}

// Rooms of the test's own memory, each remembered.
class Rooms final : public frame::BinarySink {
public:
    std::optional<Room> room(std::size_t n) override {
        std::shared_ptr<char[]> mem(new char[n]);
        given.push_back(mem.get());
        return Room{mem, mem.get()};
    }
    std::vector<const char*> given;
};

struct Decoded {
    std::vector<Message> messages;
    std::size_t apart = 0;  // binaries read into a room
    bool operator==(const Decoded&) const = default;
};

// A stream read in reads of the given sizes (cycled), a sink offered at
// every step, as on an event loop's thread.
Decoded decoded_with_rooms(const std::string& stream, const std::vector<size_t>& chunks) {
    FrameDecoder d;
    Rooms rooms;
    Decoded out;
    size_t at = 0, i = 0;
    for (;;) {
        auto step = d.next(&rooms);
        if (std::holds_alternative<FrameDecoder::NeedMore>(step)) {
            if (at == stream.size()) {
                d.end();
                continue;
            }
            auto space = d.space();
            size_t n = std::min({space.size(), chunks[i++ % chunks.size()], stream.size() - at});
            std::memcpy(space.data(), stream.data() + at, n);
            d.commit(n);
            at += n;
            continue;
        }
        auto* body = std::get_if<frame::Body>(&step);
        if (!body) return out;
        if (body->apart) {
            EXPECT_EQ(body->apart->bytes.chars(), rooms.given.at(out.apart));
            ++out.apart;
        }
        auto m = frame::decode(*body);
        EXPECT_TRUE(m) << m.error().text();
        if (m) out.messages.push_back(std::move(m).value());
    }
}

TEST(FrameDecoder, ALargeBinaryReadIntoARoomOfItsOwn) {
    using message::Response;
    std::vector<Message> sent;
    std::string stream;
    uint64_t id = 0;
    for (size_t size : {size_t{0}, size_t{100}, bson::kLargeBinary - 1, bson::kLargeBinary, size_t{1} << 20}) {
        std::string data(size, 'r');
        for (size_t k = 0; k < size; k += 4093) data[k] = static_cast<char>(k / 4093);
        sent.push_back(Message{Message::Response{++id, Response{call::ReadResp{codec::Bytes(data), size}}}});
        sent.push_back(request(++id, size));
    }
    for (const auto& m : sent) stream += wire(m);

    // Read as a loop's thread reads it: each frame's head with its first
    // bytes; the two large answers and the two large requests go to rooms.
    const auto whole = decoded_with_rooms(stream, {stream.size()});
    EXPECT_EQ(whole.messages, sent);
    EXPECT_EQ(whole.apart, 4u);
    // A head that comes alone, 4 bytes at a time, or a frame's bytes split
    // anywhere: the same messages.
    for (std::vector<size_t> chunks : std::vector<std::vector<size_t>>{{4, 1 << 20}, {1}, {5}, {8191}, {8193}}) {
        auto got = decoded_with_rooms(stream, chunks);
        EXPECT_EQ(got.messages, sent) << "chunk " << chunks[0];
    }
    EXPECT_EQ(decoded_with_rooms(stream, {4, 1 << 20}).apart, 4u) << "a head alone still finds the binary";
    std::mt19937 rng(11);
    for (int round = 0; round < 10; ++round) {
        std::vector<size_t> chunks;
        for (int k = 0; k < 50; ++k) chunks.push_back(1 + rng() % 30000);
        EXPECT_EQ(decoded_with_rooms(stream, chunks).messages, sent) << "round " << round;
    }
}

// The matching of what arrives against the request that waits, with no I/O.
TEST(RequestMatching, AnswerStrayErrorAndViolation) {
    using message::Response;
    auto answer = [](uint64_t id, Response r) { return Message{Message::Response{id, std::move(r)}}; };
    auto version = Response{call::VersionResp{"1"}};

    auto stray = match(answer(5, version), 7);
    ASSERT_TRUE(std::holds_alternative<Stray>(stray));
    EXPECT_EQ(std::get<Stray>(stray).id, 5u);

    auto ok = match(answer(7, version), 7);
    ASSERT_TRUE(std::holds_alternative<FailureResult<Response>>(ok));
    EXPECT_TRUE(std::get<1>(ok));

    auto refused = std::get<1>(match(answer(7, Response{message::Error::make(-32012, "gone")}), 7));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text(), "the console server refused: gone (-32012)");

    auto violation = std::get<1>(match(Message{message::Notification::Stop}, 7));
    ASSERT_FALSE(violation);
    EXPECT_TRUE(violation.error().text().starts_with("the console channel broke: the server sent Notification"));
}

}  // namespace

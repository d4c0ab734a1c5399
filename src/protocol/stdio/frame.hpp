#pragma once
// Frames without I/O: a 32-bit big-endian length N, then one BSON message of
// exactly N bytes. The decoder takes bytes however they arrive and keeps the
// frame it is assembling, so whoever reads the stream next carries on.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "base/blob.hpp"
#include "bson/reader.hpp"
#include "bson/writer.hpp"
#include "base/error.hpp"
#include "protocol/base.hpp"
#include "protocol/message/message.hpp"

namespace halvo::protocol::stdio::frame {

// The largest N either side accepts, 64 MiB.
inline constexpr uint32_t kMaxFrame = uint32_t{1} << 26;

using protocol::BinarySink;

// A whole frame body. Where one large binary went to a room of its own,
// the body leaves its place unfilled.
struct Body {
    Blob bytes;
    std::optional<bson::Apart> apart;
};

// Splits a byte stream into frame bodies. Bytes go in through space() and
// commit(); next() hands out each whole body once its last byte is in.
class FrameDecoder {
public:
    struct NeedMore {};
    struct Ended {};  // the stream ended cleanly between frames
    using Step = std::variant<NeedMore, Body, IoError, Ended>;

    // Where the next read should put its bytes: the staging buffer, or
    // straight into a large body. Only once next() said NeedMore (or before
    // the first byte), when every staged byte is taken.
    std::span<char> space();
    // n > 0 bytes were put into space().
    void commit(std::size_t n);
    // The stream ended.
    void end() { ended_ = true; }

    // When the head of a frame's body is in, `sink` may give its first
    // large binary a room of its own, which the rest of that frame's bytes
    // go to whoever reads them.
    Step next(BinarySink* sink = nullptr);
    // The length of the frame being assembled, once its head is in.
    std::size_t announced() const { return body_ ? body_size_ : 0; }

private:
    struct Placed {
        std::size_t at = 0, size = 0;
        Room room;
    };

    void reset_frame();
    void place_apart(BinarySink& sink);
    // Where the body's byte `pos` goes, up to the end of that stretch.
    std::span<char> target(std::size_t pos);

    std::array<char, 8192> buf_{};
    std::size_t begin_ = 0, end_ = 0;
    std::array<unsigned char, 4> head_{};
    std::size_t head_len_ = 0;
    // Present once the length is accepted; not zeroed first, as the
    // stream fills it whole before it is handed out.
    std::shared_ptr<char[]> body_;
    std::size_t body_size_ = 0, body_len_ = 0;
    std::optional<Placed> apart_;
    bool direct_ = false;  // the last space() was the body itself
    bool ended_ = false;
};

// The message in one frame body, its large binaries sharing the body.
IoResult<message::Message> decode(const Body& body);

// One message as a frame: its length bytes and its body, whose large
// binaries are still the message's own bytes.
struct Frame {
    std::array<unsigned char, 4> head;
    bson::Gathered body;
    std::size_t size() const { return head.size() + body.size(); }
};
IoResult<Frame> encode(const message::Message& m);

}  // namespace halvo::protocol::stdio::frame

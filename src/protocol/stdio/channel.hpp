#pragma once
// Frames on a byte stream: a 32-bit big-endian length N, then one BSON
// message of exactly N bytes.
//
// Cancellation takes effect only between frames. A frame write is shielded
// from cancellation and always runs to its end. A read keeps the frame it is
// assembling in its FrameReader, so a read abandoned part-way leaves nothing
// lost: the next read finishes that frame before it starts another.
#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "error.hpp"
#include "platform/fd.hpp"
#include "protocol/message/message.hpp"

namespace halvo::protocol::stdio::channel {

// The largest N either side accepts, 64 MiB.
inline constexpr uint32_t kMaxFrame = uint32_t{1} << 26;

// The reading end: an 8 KiB buffer over the stream and the frame in progress.
class FrameReader {
public:
    explicit FrameReader(platform::Fd fd);

private:
    friend asio::awaitable<IoResult<std::optional<message::Message>>> read(FrameReader& reader);
    // Reads more into the buffer; 0 at the end of the stream.
    asio::awaitable<IoResult<std::size_t>> fill();
    asio::awaitable<IoResult<std::size_t>> read_some(char* data, std::size_t size);
    void reset_frame();

    asio::posix::stream_descriptor stream_;
    std::array<char, 8192> buf_{};
    std::size_t begin_ = 0, end_ = 0;
    // The frame being assembled.
    std::array<unsigned char, 4> head_{};
    std::size_t head_len_ = 0;
    std::optional<std::string> body_;  // present once the length is accepted
    std::size_t body_len_ = 0;
};

// The writing end; once discarded it accepts and drops every frame.
class FrameWriter {
public:
    explicit FrameWriter(platform::Fd fd);

    // Closes the stream, so the peer sees the end of its input. A write in
    // progress ends with an error.
    void discard();

private:
    friend asio::awaitable<IoResult<void>> write(FrameWriter& writer, const message::Message& m);
    asio::posix::stream_descriptor stream_;  // closed once discarded
};

// One message; none when the stream ended cleanly between frames.
asio::awaitable<IoResult<std::optional<message::Message>>> read(FrameReader& reader);

// One frame, written whole even when the caller is cancelled meanwhile.
asio::awaitable<IoResult<void>> write(FrameWriter& writer, const message::Message& m);

}  // namespace halvo::protocol::stdio::channel

#pragma once
// Frames on a pipe, read and written on the runtime or, without waiting, on
// the calling thread; the framing itself is in frame.hpp.
//
// Cancellation takes effect only between frames. A frame write is shielded
// from cancellation and always runs to its end. The decoder keeps the frame
// it is assembling, so a read abandoned part-way leaves nothing lost: the
// next read, by whichever side, finishes that frame before it starts another.
#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "base/blob.hpp"
#include "base/error.hpp"
#include "platform/fd.hpp"
#include "protocol/message/message.hpp"
#include "protocol/stdio/frame.hpp"

namespace halvo::protocol::stdio::channel {

class WriteCursor;

using frame::kMaxFrame;
using frame::Frame;
using frame::FrameDecoder;

// A count of bytes any thread may read; moving it carries the value.
class ByteCount {
public:
    ByteCount() = default;
    ByteCount(ByteCount&& o) noexcept : n_(o.get()) {}
    ByteCount& operator=(ByteCount&& o) noexcept {
        n_.store(o.get(), std::memory_order_relaxed);
        return *this;
    }
    // Only the one side that moves the bytes adds.
    void add(std::size_t k) { n_.store(get() + k, std::memory_order_relaxed); }
    uint64_t get() const { return n_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> n_{0};
};

// The reading end: the stream and its decoder.
class FrameReader {
public:
    explicit FrameReader(platform::Fd fd);
    FrameReader(FrameReader&&) noexcept = default;
    FrameReader& operator=(FrameReader&& o) noexcept;
    ~FrameReader();

    // What one read without waiting gave: nothing yet, or as read() says.
    struct NotYet {};
    using Polled = std::variant<NotYet, IoResult<std::optional<message::Message>>>;
    // Reads what the stream holds now, on the calling thread; never waits.
    // `sink` may give a large binary of the answer a room of its own.
    Polled poll(frame::BinarySink* sink = nullptr);
    int fd() const { return fd_.get(); }
    const FrameDecoder& decoder() const { return decoder_; }
    // Bytes taken from the stream so far; any thread may look.
    uint64_t taken() const { return taken_.get(); }

private:
    friend asio::awaitable<IoResult<std::optional<message::Message>>> read(FrameReader& reader);
    friend struct Registered;
    // Lets go of a registration left by a read that never ended: the read
    // of a forked child's parent.
    void unregister();
    platform::Fd fd_;
    // Known to the runtime's reactor only while read() waits on it: left
    // there, every answer read on an event loop's thread would wake a
    // runtime thread too.
    std::optional<asio::posix::stream_descriptor> stream_;
    FrameDecoder decoder_;
    ByteCount taken_;
};

// The writing end; once discarded it accepts and drops every frame.
//
// On a pipe, a frame's large pieces are lent rather than copied: the reader
// copies them from where they are. So the writer keeps each lent piece until
// the peer has answered a message written with or after it and the pipe
// holds nothing unread; whoever owns the peer takes over what is still lent
// when the peer may still read it.
class FrameWriter {
public:
    explicit FrameWriter(platform::Fd fd);
    FrameWriter(FrameWriter&&) noexcept = default;
    FrameWriter& operator=(FrameWriter&& o) noexcept;
    ~FrameWriter() { discard(); }

    // Closes the stream, so the peer sees the end of its input. A write in
    // progress ends with an error. In a forked child that inherited the
    // stream, only the child's copy of the descriptor closes: the peer sees
    // nothing, and the parent's runtime, which the stream is bound to, is
    // left alone.
    void discard();
    bool discarded() const { return !stream_.is_open(); }
    // Whether a frame write is waiting for room.
    bool writing() const { return writing_; }
    // Writes a frame on the calling thread, waiting for room up to
    // `room_wait` in all, and gives how many of its bytes went out. A frame
    // of at most PIPE_BUF bytes goes whole or not at all on a pipe. What is
    // left, or a failure, is for write_frame from that byte on, before
    // anything else is written.
    std::size_t try_write(const Frame& f, std::chrono::nanoseconds room_wait, platform::AroundWait* around = nullptr);

    // The peer sent a message: lets go of the lent pieces once the pipe is
    // empty.
    void answered();
    // What is still lent, to be kept until the peer cannot read any more.
    std::vector<Blob> take_lent() { return std::exchange(lent_, {}); }
    // Bytes handed to the stream so far; any thread may look.
    uint64_t given() const { return given_.get(); }

private:
    friend class WriteCursor;
    friend asio::awaitable<IoResult<void>> write_frame(FrameWriter& writer, const Frame& f, std::size_t skip);
    friend asio::awaitable<IoResult<void>> write_parts(FrameWriter& writer, WriteCursor& c);
    asio::posix::stream_descriptor stream_;  // closed once discarded
    bool writing_ = false;
    bool lend_ = true;  // until the descriptor turns out not to take lent bytes
    std::vector<Blob> lent_;
    ByteCount given_;
};

// One message; none when the stream ended cleanly between frames.
asio::awaitable<IoResult<std::optional<message::Message>>> read(FrameReader& reader);

// One frame, written whole even when the caller is cancelled meanwhile.
asio::awaitable<IoResult<void>> write(FrameWriter& writer, const message::Message& m);
// The same from byte `skip` on, the bytes before it being out already.
asio::awaitable<IoResult<void>> write_frame(FrameWriter& writer, const Frame& f, std::size_t skip = 0);

}  // namespace halvo::protocol::stdio::channel

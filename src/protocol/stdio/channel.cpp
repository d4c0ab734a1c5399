#include "protocol/stdio/channel.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/buffer.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <cstring>

#include "rt/runtime.hpp"

namespace halvo::protocol::stdio::channel {
namespace {

std::string too_long(std::size_t n, const char* verb) {
    return "a frame of " + std::to_string(n) + " bytes is more than the " + std::to_string(kMaxFrame) +
           " this protocol agrees " + verb;
}

IoError mid_way() { return IoError(ErrorKind::UnexpectedEof, "a frame ended mid-way"); }

}  // namespace

FrameReader::FrameReader(platform::Fd fd) : stream_(rt::io(), fd.release()) {}

void FrameReader::reset_frame() {
    head_len_ = 0;
    body_.reset();
    body_len_ = 0;
}

asio::awaitable<IoResult<std::size_t>> FrameReader::read_some(char* data, std::size_t size) {
    asio::error_code ec;
    std::size_t n =
        co_await stream_.async_read_some(asio::buffer(data, size), asio::redirect_error(asio::use_awaitable, ec));
    // A cancelled read took no bytes; the task ends here and the frame
    // state stays for the next read.
    if (ec == asio::error::operation_aborted) throw asio::system_error(ec);
    if (ec == asio::error::eof) co_return 0;
    if (ec) co_return fail(IoError::os(ec.value()));
    co_return n;
}

asio::awaitable<IoResult<std::size_t>> FrameReader::fill() {
    begin_ = end_ = 0;
    HALVO_CO_TRY(std::size_t n, co_await read_some(buf_.data(), buf_.size()));
    end_ = n;
    co_return n;
}

asio::awaitable<IoResult<std::optional<message::Message>>> read(FrameReader& r) {
    while (r.head_len_ < 4) {
        if (r.begin_ == r.end_) {
            HALVO_CO_TRY(std::size_t n, co_await r.fill());
            if (n == 0) {
                bool clean = r.head_len_ == 0;
                r.reset_frame();
                if (clean) co_return std::optional<message::Message>();
                co_return fail(mid_way());
            }
        }
        std::size_t take = std::min(4 - r.head_len_, r.end_ - r.begin_);
        std::memcpy(r.head_.data() + r.head_len_, r.buf_.data() + r.begin_, take);
        r.begin_ += take;
        r.head_len_ += take;
    }
    if (!r.body_) {
        uint32_t n = (uint32_t{r.head_[0]} << 24) | (uint32_t{r.head_[1]} << 16) | (uint32_t{r.head_[2]} << 8) |
                     uint32_t{r.head_[3]};
        if (n > kMaxFrame) {
            r.reset_frame();
            co_return fail(IoError(ErrorKind::InvalidData, too_long(n, "to accept")));
        }
        if (n == 0) {
            r.reset_frame();
            co_return fail(IoError(ErrorKind::InvalidData, "a frame of no bytes cannot be a message"));
        }
        r.body_.emplace(n, '\0');
    }
    std::string& body = *r.body_;
    while (r.body_len_ < body.size()) {
        std::size_t want = body.size() - r.body_len_;
        std::size_t n;
        if (r.begin_ < r.end_) {
            n = std::min(want, r.end_ - r.begin_);
            std::memcpy(body.data() + r.body_len_, r.buf_.data() + r.begin_, n);
            r.begin_ += n;
        } else if (want >= r.buf_.size()) {
            // A large body skips the buffer.
            HALVO_CO_TRY(n, co_await r.read_some(body.data() + r.body_len_, want));
        } else {
            HALVO_CO_TRY(n, co_await r.fill());
            if (n > 0) continue;
        }
        if (n == 0) {
            r.reset_frame();
            co_return fail(mid_way());
        }
        r.body_len_ += n;
    }
    std::string done = std::move(body);
    r.reset_frame();
    auto m = message::Message::read(done);
    if (!m) co_return fail(IoError(ErrorKind::InvalidData, "reading a message: " + m.error().display()));
    co_return std::optional<message::Message>(std::move(m).value());
}

FrameWriter::FrameWriter(platform::Fd fd) : stream_(rt::io(), fd.release()) {}

void FrameWriter::discard() {
    asio::error_code ignored;
    stream_.close(ignored);
}

asio::awaitable<IoResult<void>> write(FrameWriter& w, const message::Message& m) {
    auto body = m.write();
    if (!body) co_return fail(IoError(ErrorKind::InvalidData, "serializing a message: " + body.error().display()));
    if (body->size() > kMaxFrame) co_return fail(IoError(ErrorKind::InvalidData, too_long(body->size(), "to send")));
    if (!w.stream_.is_open()) co_return IoResult<void>();
    const auto n = static_cast<uint32_t>(body->size());
    const unsigned char head[4] = {static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                                   static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
    const std::array<asio::const_buffer, 2> frame = {asio::buffer(head), asio::buffer(*body)};
    asio::error_code ec;
    // No cancellation slot: half a frame would leave the server misaligned.
    std::size_t written = co_await asio::async_write(
        w.stream_, frame,
        asio::bind_cancellation_slot(asio::cancellation_slot(), asio::redirect_error(asio::use_awaitable, ec)));
    if (ec) co_return fail(IoError::os(ec.value()));
    if (written != sizeof head + body->size()) co_return fail(IoError(ErrorKind::WriteZero));
    co_return IoResult<void>();
}

}  // namespace halvo::protocol::stdio::channel

#include "protocol/stdio/frame.hpp"

#include <algorithm>
#include <cstring>

namespace halvo::protocol::stdio::frame {
namespace {

std::string too_long(std::size_t n, const char* verb) {
    return "a frame of " + std::to_string(n) + " bytes is more than the " + std::to_string(kMaxFrame) +
           " this protocol agrees " + verb;
}

IoError mid_way() { return IoError(ErrorKind::UnexpectedEof, "a frame ended mid-way"); }

}  // namespace

std::span<char> FrameDecoder::space() {
    begin_ = end_ = 0;
    // A large body skips the staging buffer.
    direct_ = body_ && body_size_ - body_len_ >= buf_.size();
    if (direct_) return {body_.get() + body_len_, body_size_ - body_len_};
    return {buf_.data(), buf_.size()};
}

void FrameDecoder::commit(std::size_t n) {
    if (direct_)
        body_len_ += n;
    else
        end_ += n;
}

void FrameDecoder::reset_frame() {
    head_len_ = 0;
    body_.reset();
    body_size_ = body_len_ = 0;
}

FrameDecoder::Step FrameDecoder::next() {
    while (head_len_ < 4) {
        if (begin_ == end_) {
            if (!ended_) return NeedMore{};
            bool clean = head_len_ == 0;
            reset_frame();
            if (clean) return Ended{};
            return mid_way();
        }
        std::size_t take = std::min(4 - head_len_, end_ - begin_);
        std::memcpy(head_.data() + head_len_, buf_.data() + begin_, take);
        begin_ += take;
        head_len_ += take;
    }
    if (!body_) {
        uint32_t n = (uint32_t{head_[0]} << 24) | (uint32_t{head_[1]} << 16) | (uint32_t{head_[2]} << 8) |
                     uint32_t{head_[3]};
        if (n > kMaxFrame) {
            reset_frame();
            return IoError(ErrorKind::InvalidData, too_long(n, "to accept"));
        }
        if (n == 0) {
            reset_frame();
            return IoError(ErrorKind::InvalidData, "a frame of no bytes cannot be a message");
        }
        body_ = std::make_shared_for_overwrite<char[]>(n);
        body_size_ = n;
    }
    while (body_len_ < body_size_) {
        if (begin_ == end_) {
            if (!ended_) return NeedMore{};
            reset_frame();
            return mid_way();
        }
        std::size_t n = std::min(body_size_ - body_len_, end_ - begin_);
        std::memcpy(body_.get() + body_len_, buf_.data() + begin_, n);
        begin_ += n;
        body_len_ += n;
    }
    const std::string_view bytes(body_.get(), body_size_);
    Blob done(std::move(body_), bytes);
    reset_frame();
    return done;
}

IoResult<message::Message> decode(const Blob& body) {
    auto m = message::Message::read_sharing(body);
    if (!m) return fail(IoError(ErrorKind::InvalidData, "reading a message: " + m.error().display()));
    return std::move(m).value();
}

IoResult<Frame> encode(const message::Message& m) {
    auto body = m.write_gathered();
    if (!body) return fail(IoError(ErrorKind::InvalidData, "serializing a message: " + body.error().display()));
    if (body->size() > kMaxFrame) return fail(IoError(ErrorKind::InvalidData, too_long(body->size(), "to send")));
    const auto n = static_cast<uint32_t>(body->size());
    return Frame{{static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                  static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)},
                 std::move(body).value()};
}

}  // namespace halvo::protocol::stdio::frame

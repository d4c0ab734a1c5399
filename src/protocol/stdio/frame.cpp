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

std::span<char> FrameDecoder::target(std::size_t pos) {
    if (apart_) {
        const Placed& a = *apart_;
        if (pos < a.at) return {body_.get() + pos, a.at - pos};
        if (pos < a.at + a.size) return {a.room.data + (pos - a.at), a.at + a.size - pos};
    }
    return {body_.get() + pos, body_size_ - pos};
}

std::span<char> FrameDecoder::space() {
    begin_ = end_ = 0;
    // A large body skips the staging buffer, once its first bytes, which
    // say where its binaries are, came through it.
    direct_ = body_ && body_len_ > 0 && body_size_ - body_len_ >= buf_.size();
    if (direct_) return target(body_len_);
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
    apart_.reset();
}

// The staged bytes are the body's first ones, not yet copied.
void FrameDecoder::place_apart(BinarySink& sink) {
    const std::string_view head(buf_.data() + begin_, end_ - begin_);
    auto found = bson::find_large_binary(head, body_size_, bson::kLargeBinary);
    if (!found) return;
    auto room = sink.room(found->size);
    if (!room) return;
    apart_ = Placed{found->at, found->size, std::move(*room)};
}

FrameDecoder::Step FrameDecoder::next(BinarySink* sink) {
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
        // A binary's place in the body stays untouched when it has a room
        // of its own, so its pages are never even made.
        body_ = std::make_shared_for_overwrite<char[]>(n);
        body_size_ = n;
    }
    if (sink && body_len_ == 0 && begin_ < end_ && body_size_ >= bson::kLargeBinary) place_apart(*sink);
    while (body_len_ < body_size_) {
        if (begin_ == end_) {
            if (!ended_) return NeedMore{};
            reset_frame();
            return mid_way();
        }
        const std::span<char> to = target(body_len_);
        const std::size_t n = std::min(to.size(), end_ - begin_);
        std::memcpy(to.data(), buf_.data() + begin_, n);
        begin_ += n;
        body_len_ += n;
    }
    const std::string_view bytes(body_.get(), body_size_);
    Body done{Blob(std::move(body_), bytes), std::nullopt};
    if (apart_) {
        Placed& a = *apart_;
        done.apart = bson::Apart{a.at, Blob(std::move(a.room.owner), std::string_view(a.room.data, a.size))};
    }
    reset_frame();
    return done;
}

IoResult<message::Message> decode(const Body& body) {
    auto m = message::Message::read_sharing(body.bytes, body.apart ? &*body.apart : nullptr);
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

#include "protocol/stdio/channel.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/buffer.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/fd.hpp"
#include "rt/runtime.hpp"

namespace halvo::protocol::stdio::channel {

using frame::decode;
using frame::encode;

namespace {

// Both sides may touch a pipe without waiting: the runtime's reactor and an
// event loop's thread.
platform::Fd nonblocking(platform::Fd fd) {
    if (int fl = ::fcntl(fd.get(), F_GETFL); fl >= 0) ::fcntl(fd.get(), F_SETFL, fl | O_NONBLOCK);
    return fd;
}

}  // namespace

namespace {

// What the decoder's next step means for a reader; none when it needs bytes.
std::optional<IoResult<std::optional<message::Message>>> settle(FrameDecoder::Step step) {
    using Out = IoResult<std::optional<message::Message>>;
    if (std::holds_alternative<FrameDecoder::NeedMore>(step)) return std::nullopt;
    if (auto* body = std::get_if<Blob>(&step)) {
        auto m = decode(*body);
        if (!m) return Out(fail(std::move(m).error()));
        return Out(std::optional<message::Message>(std::move(m).value()));
    }
    if (auto* e = std::get_if<IoError>(&step)) return Out(fail(std::move(*e)));
    return Out(std::optional<message::Message>());
}

}  // namespace

FrameReader::FrameReader(platform::Fd fd) : fd_(nonblocking(std::move(fd))) {}

// The reader's stream registered with the reactor for one read().
struct Registered {
    FrameReader& r;
    explicit Registered(FrameReader& reader) : r(reader) { r.stream_.emplace(rt::io(), r.fd_.get()); }
    ~Registered() {
        r.stream_->release();  // the descriptor stays ours
        r.stream_.reset();
    }
};

asio::awaitable<IoResult<std::optional<message::Message>>> read(FrameReader& r) {
    std::optional<Registered> registered;
    for (;;) {
        if (auto done = settle(r.decoder_.next())) co_return std::move(*done);
        if (!registered) registered.emplace(r);
        std::span<char> space = r.decoder_.space();
        asio::error_code ec;
        std::size_t n = co_await r.stream_->async_read_some(asio::buffer(space.data(), space.size()),
                                                            asio::redirect_error(asio::use_awaitable, ec));
        // A cancelled read took no bytes; the task ends here and the frame
        // in progress stays in the decoder.
        if (ec == asio::error::operation_aborted) throw asio::system_error(ec);
        if (ec == asio::error::eof) {
            r.decoder_.end();
        } else if (ec) {
            co_return fail(IoError::os(ec.value()));
        } else {
            r.decoder_.commit(n);
            r.taken_.add(n);
        }
    }
}

FrameReader::Polled FrameReader::poll() {
    for (;;) {
        if (auto done = settle(decoder_.next())) return std::move(*done);
        std::span<char> space = decoder_.space();
        ssize_t n = ::read(fd_.get(), space.data(), space.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return NotYet{};
            return IoResult<std::optional<message::Message>>(fail(IoError::last_os()));
        }
        if (n == 0) {
            decoder_.end();
        } else {
            decoder_.commit(static_cast<std::size_t>(n));
            taken_.add(static_cast<std::size_t>(n));
        }
    }
}

// ---- Writing ----------------------------------------------------------------

FrameWriter::FrameWriter(platform::Fd fd) : stream_(rt::io(), nonblocking(std::move(fd)).release()) {}

void FrameWriter::discard() {
    asio::error_code ignored;
    stream_.close(ignored);
}

bool FrameWriter::try_write(const Frame& f) {
    if (!stream_.is_open() || f.size() > PIPE_BUF) return false;
    char buf[PIPE_BUF];
    std::memcpy(buf, f.head.data(), f.head.size());
    std::size_t at = f.head.size();
    f.body.each([&](std::string_view part, bool) {
        std::memcpy(buf + at, part.data(), part.size());
        at += part.size();
    });
    const int fd = stream_.native_handle();
    ssize_t n;
    while ((n = ::write(fd, buf, f.size())) < 0 && errno == EINTR) {
    }
    // Nothing of the frame went out: the waiting path takes it whole.
    if (n <= 0) return false;
    given_.add(f.size());
    // Only a pipe promises all or nothing. Part of the frame is out, so the
    // rest must follow before anything else; a stream broken mid-frame is
    // reported by the next read.
    (void)platform::write_all(fd, std::string_view(buf, f.size()).substr(static_cast<std::size_t>(n)));
    return true;
}

asio::awaitable<IoResult<void>> write(FrameWriter& w, const message::Message& m) {
    HALVO_CO_TRY(Frame frame, encode(m));
    co_return co_await write_frame(w, frame);
}

void FrameWriter::answered() {
    if (lent_.empty() || !stream_.is_open()) return;
    if (auto unread = platform::pipe_unread(stream_.native_handle()); unread && *unread == 0) lent_.clear();
}

namespace {

// One stretch of a frame: copied into the pipe, or lent when it is a piece
// and the writer lends.
struct Part {
    std::string_view bytes;
    const Blob* piece;
};

bool cannot_lend(int err) { return err == EINVAL || err == EBADF || err == ENOSYS; }

// Far below IOV_MAX; a frame has a handful of parts.
constexpr std::size_t kPartsAtOnce = 64;

}  // namespace

// The frame's parts in order, each run of copied parts in one writev, each
// lent piece in one vmsplice, until all are out.
asio::awaitable<IoResult<void>> write_parts(FrameWriter& w, const Frame& frame) {
    std::vector<Part> parts{{{reinterpret_cast<const char*>(frame.head.data()), frame.head.size()}, nullptr}};
    std::size_t k = 0;
    frame.body.each([&](std::string_view bytes, bool piece) {
        parts.push_back({bytes, piece ? &frame.body.pieces[k++].bytes : nullptr});
    });
    struct Writing {
        bool& flag;
        explicit Writing(bool& f) : flag(f) { flag = true; }
        ~Writing() { flag = false; }
    } writing{w.writing_};

    std::size_t i = 0;          // the first part not wholly out
    bool kept = false;          // parts[i] is among the lent pieces
    std::vector<iovec> copied;  // the parts before the next one lent
    while (i < parts.size()) {
        // Discarded meanwhile: the stream's end cut the frame.
        if (!w.stream_.is_open()) co_return fail(IoError::os(ECANCELED));
        const int fd = w.stream_.native_handle();
        const bool lend = w.lend_ && parts[i].piece;
        ssize_t n;
        if (lend) {
            if (!kept) w.lent_.push_back(*parts[i].piece);
            kept = true;
            n = platform::lend_to_pipe(fd, parts[i].bytes);
        } else {
            copied.clear();
            for (std::size_t j = i; j < parts.size() && !(w.lend_ && parts[j].piece) && copied.size() < kPartsAtOnce; ++j)
                copied.push_back({const_cast<char*>(parts[j].bytes.data()), parts[j].bytes.size()});
            n = ::writev(fd, copied.data(), static_cast<int>(copied.size()));
        }
        if (n > 0) {
            w.given_.add(static_cast<std::size_t>(n));
            auto left = static_cast<std::size_t>(n);
            while (i < parts.size() && left >= parts[i].bytes.size()) {
                left -= parts[i++].bytes.size();
                kept = false;
            }
            if (left > 0) parts[i].bytes.remove_prefix(left);
            continue;
        }
        if (n == 0) co_return fail(IoError(ErrorKind::WriteZero));
        const int err = errno;
        if (err == EINTR) continue;
        if (lend && cannot_lend(err)) {
            // No bytes of this call went out: the rest is copied instead.
            w.lend_ = false;
            continue;
        }
        if (err != EAGAIN && err != EWOULDBLOCK) co_return fail(IoError::os(err));
        asio::error_code ec;
        // No cancellation slot: half a frame would leave the server misaligned.
        co_await w.stream_.async_wait(
            asio::posix::stream_descriptor::wait_write,
            asio::bind_cancellation_slot(asio::cancellation_slot(), asio::redirect_error(asio::use_awaitable, ec)));
        if (ec) co_return fail(IoError::os(ec.value()));
    }
    co_return IoResult<void>();
}

asio::awaitable<IoResult<void>> write_frame(FrameWriter& w, const Frame& frame) {
    if (!w.stream_.is_open()) co_return IoResult<void>();
    // A caller cancelled meanwhile must not stop the frame at its next wait.
    const bool throws = co_await asio::this_coro::throw_if_cancelled();
    co_await asio::this_coro::throw_if_cancelled(false);
    auto written = co_await write_parts(w, frame);
    co_await asio::this_coro::throw_if_cancelled(throws);
    co_return written;
}

}  // namespace halvo::protocol::stdio::channel

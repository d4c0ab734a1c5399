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
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/fd.hpp"
#include "rt/fork.hpp"
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
    if (auto* body = std::get_if<frame::Body>(&step)) {
        auto m = decode(*body);
        if (!m) return Out(fail(std::move(m).error()));
        return Out(std::optional<message::Message>(std::move(m).value()));
    }
    if (auto* e = std::get_if<IoError>(&step)) return Out(fail(std::move(*e)));
    return Out(std::optional<message::Message>());
}

}  // namespace

FrameReader::FrameReader(platform::Fd fd) : fd_(nonblocking(std::move(fd))) {}

FrameReader& FrameReader::operator=(FrameReader&& o) noexcept {
    if (this != &o) {
        unregister();
        fd_ = std::move(o.fd_);
        stream_ = std::move(o.stream_);
        decoder_ = std::move(o.decoder_);
        taken_ = std::move(o.taken_);
    }
    return *this;
}

FrameReader::~FrameReader() { unregister(); }

void FrameReader::unregister() {
    if (!stream_) return;
    // The descriptor is fd_'s, closed with it.
    if (rt::ours(asio::query(stream_->get_executor(), asio::execution::context)))
        stream_->release();
    else
        rt::abandon(std::move(*stream_));
    stream_.reset();
}

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

FrameReader::Polled FrameReader::poll(frame::BinarySink* sink) {
    for (;;) {
        if (auto done = settle(decoder_.next(sink))) return std::move(*done);
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

FrameWriter& FrameWriter::operator=(FrameWriter&& o) noexcept {
    if (this != &o) {
        discard();
        stream_ = std::move(o.stream_);
        writing_ = o.writing_;
        lend_ = o.lend_;
        lent_ = std::move(o.lent_);
        given_ = std::move(o.given_);
    }
    return *this;
}

void FrameWriter::discard() {
    if (!stream_.is_open()) return;
    if (rt::ours(asio::query(stream_.get_executor(), asio::execution::context))) {
        asio::error_code ignored;
        stream_.close(ignored);
        return;
    }
    // Moving it out touches no reactor; what is left behind is closed.
    const int fd = stream_.native_handle();
    rt::abandon(std::move(stream_));
    ::close(fd);
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

// A frame's parts in order and how far they are out: each run of copied
// parts goes in one writev, each lent piece in one vmsplice.
class WriteCursor {
public:
    enum class Step { Moved, Again, Zero, Failed };

    WriteCursor(FrameWriter& w, const Frame& frame) : w_(w) {
        parts_.reserve(4);
        parts_.push_back({{reinterpret_cast<const char*>(frame.head.data()), frame.head.size()}, nullptr});
        std::size_t k = 0;
        frame.body.each([&](std::string_view bytes, bool piece) {
            parts_.push_back({bytes, piece ? &frame.body.pieces[k++].bytes : nullptr});
        });
    }

    bool done() const { return i_ == parts_.size(); }
    std::size_t out() const { return out_; }
    // errno of the last Failed step.
    int error() const { return err_; }

    // The first n bytes are out already; a piece begun was lent then.
    void skip(std::size_t n) {
        advance(n);
        kept_ = !done() && n > 0 && parts_[i_].piece && w_.lend_ && partial_;
    }

    // One write of what is next, without waiting.
    Step step() {
        for (;;) {
            const int fd = w_.stream_.native_handle();
            const bool lend = w_.lend_ && parts_[i_].piece;
            ssize_t n;
            if (lend) {
                if (!kept_) w_.lent_.push_back(*parts_[i_].piece);
                kept_ = true;
                n = platform::lend_to_pipe(fd, parts_[i_].bytes);
            } else {
                iovecs_.clear();
                for (std::size_t j = i_; j < parts_.size() && !(w_.lend_ && parts_[j].piece) && iovecs_.size() < kPartsAtOnce;
                     ++j)
                    iovecs_.push_back({const_cast<char*>(parts_[j].bytes.data()), parts_[j].bytes.size()});
                n = ::writev(fd, iovecs_.data(), static_cast<int>(iovecs_.size()));
            }
            if (n > 0) {
                w_.given_.add(static_cast<std::size_t>(n));
                out_ += static_cast<std::size_t>(n);
                advance(static_cast<std::size_t>(n));
                return Step::Moved;
            }
            if (n == 0) return Step::Zero;
            err_ = errno;
            if (err_ == EINTR) continue;
            if (lend && cannot_lend(err_)) {
                // No bytes of this call went out: the rest is copied instead.
                w_.lend_ = false;
                continue;
            }
            return err_ == EAGAIN || err_ == EWOULDBLOCK ? Step::Again : Step::Failed;
        }
    }

private:
    void advance(std::size_t n) {
        partial_ = false;
        while (i_ < parts_.size() && n >= parts_[i_].bytes.size()) {
            n -= parts_[i_++].bytes.size();
            kept_ = false;
        }
        if (n > 0) {
            parts_[i_].bytes.remove_prefix(n);
            partial_ = true;
        }
    }

    FrameWriter& w_;
    std::vector<Part> parts_;
    std::vector<iovec> iovecs_;
    std::size_t i_ = 0;      // the first part not wholly out
    bool kept_ = false;      // parts_[i_] is among the lent pieces
    bool partial_ = false;   // parts_[i_] is partly out
    std::size_t out_ = 0;
    int err_ = 0;
};

std::size_t FrameWriter::try_write(const Frame& f, std::chrono::nanoseconds room_wait, platform::AroundWait* around) {
    if (!stream_.is_open()) return 0;
    using Clock = std::chrono::steady_clock;
    WriteCursor c(*this, f);
    std::optional<Clock::time_point> until;
    while (!c.done()) {
        auto step = c.step();
        if (step == WriteCursor::Step::Moved) continue;
        if (step != WriteCursor::Step::Again) break;  // the waiting path reports it
        const auto now = Clock::now();
        if (!until) until = now + room_wait;
        if (now >= *until) break;
        platform::wait_fd(stream_.native_handle(), POLLOUT, *until - now, platform::WaitBy::Sleeping, around);
    }
    return c.out();
}

asio::awaitable<IoResult<void>> write_parts(FrameWriter& w, WriteCursor& c) {
    struct Writing {
        bool& flag;
        explicit Writing(bool& f) : flag(f) { flag = true; }
        ~Writing() { flag = false; }
    } writing{w.writing_};
    while (!c.done()) {
        // Discarded meanwhile: the stream's end cut the frame.
        if (!w.stream_.is_open()) co_return fail(IoError::os(ECANCELED));
        auto step = c.step();
        if (step == WriteCursor::Step::Moved) continue;
        if (step == WriteCursor::Step::Zero) co_return fail(IoError(ErrorKind::WriteZero));
        if (step == WriteCursor::Step::Failed) co_return fail(IoError::os(c.error()));
        asio::error_code ec;
        // No cancellation slot: half a frame would leave the server misaligned.
        co_await w.stream_.async_wait(
            asio::posix::stream_descriptor::wait_write,
            asio::bind_cancellation_slot(asio::cancellation_slot(), asio::redirect_error(asio::use_awaitable, ec)));
        if (ec) co_return fail(IoError::os(ec.value()));
    }
    co_return IoResult<void>();
}

asio::awaitable<IoResult<void>> write_frame(FrameWriter& w, const Frame& frame, std::size_t skip) {
    if (!w.stream_.is_open()) co_return IoResult<void>();
    // A caller cancelled meanwhile must not stop the frame at its next wait.
    const bool throws = co_await asio::this_coro::throw_if_cancelled();
    co_await asio::this_coro::throw_if_cancelled(false);
    WriteCursor cursor(w, frame);
    cursor.skip(skip);
    auto written = co_await write_parts(w, cursor);
    co_await asio::this_coro::throw_if_cancelled(throws);
    co_return written;
}

}  // namespace halvo::protocol::stdio::channel

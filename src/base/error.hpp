#pragma once
// The error values every layer returns: a plain I/O error with a kind, and
// the chain of contexts that subsystems 1 and 3 wrap around a cause.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.hpp"

namespace halvo::inline base {

enum class ErrorKind {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    NotConnected,
    AddrInUse,
    AddrNotAvailable,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    DirectoryNotEmpty,
    ReadOnlyFilesystem,
    InvalidInput,
    InvalidData,
    InvalidFilename,
    TimedOut,
    WriteZero,
    StorageFull,
    FileTooLarge,
    CrossesDevices,
    Interrupted,
    Unsupported,
    UnexpectedEof,
    OutOfMemory,
    Other,
};

// The kind's own text, shown when an error carries neither errno nor message.
std::string_view kind_text(ErrorKind kind);
ErrorKind kind_of_errno(int os_errno);

// An I/O error: a kind, and either an OS error number or a fixed message.
struct IoError {
    ErrorKind kind = ErrorKind::Other;
    int os_errno = 0;  // 0: not an OS error
    std::optional<std::string> message;

    IoError() = default;
    explicit IoError(ErrorKind k) : kind(k) {}
    IoError(ErrorKind k, std::string msg) : kind(k), message(std::move(msg)) {}

    static IoError os(int os_errno);
    static IoError last_os();  // from errno

    // "{} (os error {})" for an OS error, else the message, else the kind.
    std::string text() const;
    bool operator==(const IoError&) const = default;
};

template <class T>
using IoResult = Result<T, IoError>;

// What a link was made from, kept without its type being known here, so a
// layer above can find its own error value again (the script boundary
// raises a protocol failure's own exception, for one).
class Cause {
public:
    Cause() = default;
    template <class T>
    static Cause of(T value) {
        Cause c;
        c.value_ = std::make_shared<const T>(std::move(value));
        c.tag_ = &kTag<T>;
        return c;
    }
    template <class T>
    const T* get() const {
        return tag_ == &kTag<T> ? static_cast<const T*>(value_.get()) : nullptr;
    }

private:
    // One address per type stands for the type.
    template <class T>
    static constexpr char kTag = 0;
    std::shared_ptr<const void> value_;
    const char* tag_ = nullptr;
};

// Links are kept outermost first.
class Chain {
public:
    struct Link {
        std::string text;
        Cause cause;
    };

    explicit Chain(std::string text);
    explicit Chain(const IoError& err);

    // Puts a context in front of the chain.
    Chain context(std::string ctx, Cause cause = {}) &&;
    Chain& add_context(std::string ctx, Cause cause = {});

    // Every link, outermost first, joined by ": ".
    std::string render() const;
    const std::string& outermost() const { return links_.front().text; }
    const std::vector<Link>& links() const { return links_; }
    // The outermost cause of type T.
    template <class T>
    const T* find() const {
        for (const auto& l : links_)
            if (const T* t = l.cause.get<T>()) return t;
        return nullptr;
    }

private:
    std::vector<Link> links_;
};

template <class T>
using ChainResult = Result<T, Chain>;

}  // namespace halvo::base

#pragma once
// The error values every layer returns: a plain I/O error with a kind, and
// the chain of contexts that subsystems 1 and 3 wrap around a cause.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace halvo {

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

namespace protocol {
class Failure;
}

// Links are kept outermost first. A link made from a Failure remembers it,
// so the script boundary can raise the Failure's own exception.
class Chain {
public:
    struct Link {
        std::string text;
        std::shared_ptr<const protocol::Failure> failure;
    };

    explicit Chain(std::string text);
    explicit Chain(const IoError& err);
    explicit Chain(const protocol::Failure& failure);

    // Puts a context in front of the chain.
    Chain context(std::string ctx) &&;
    Chain& add_context(std::string ctx);

    // Every link, outermost first, joined by ": ".
    std::string render() const;
    const std::string& outermost() const { return links_.front().text; }
    const std::vector<Link>& links() const { return links_; }
    const protocol::Failure* find_failure() const;

private:
    Chain() = default;
    std::vector<Link> links_;
};

template <class T>
using ChainResult = Result<T, Chain>;

}  // namespace halvo

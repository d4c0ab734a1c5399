#include "base/error.hpp"

#include <cerrno>
#include <cstring>

namespace halvo::inline base {

std::string_view kind_text(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NotFound: return "entity not found";
        case ErrorKind::PermissionDenied: return "permission denied";
        case ErrorKind::ConnectionRefused: return "connection refused";
        case ErrorKind::ConnectionReset: return "connection reset";
        case ErrorKind::ConnectionAborted: return "connection aborted";
        case ErrorKind::NotConnected: return "not connected";
        case ErrorKind::AddrInUse: return "address in use";
        case ErrorKind::AddrNotAvailable: return "address not available";
        case ErrorKind::BrokenPipe: return "broken pipe";
        case ErrorKind::AlreadyExists: return "entity already exists";
        case ErrorKind::WouldBlock: return "operation would block";
        case ErrorKind::NotADirectory: return "not a directory";
        case ErrorKind::IsADirectory: return "is a directory";
        case ErrorKind::DirectoryNotEmpty: return "directory not empty";
        case ErrorKind::ReadOnlyFilesystem: return "read-only filesystem or storage medium";
        case ErrorKind::InvalidInput: return "invalid input parameter";
        case ErrorKind::InvalidData: return "invalid data";
        case ErrorKind::InvalidFilename: return "invalid filename";
        case ErrorKind::TimedOut: return "timed out";
        case ErrorKind::WriteZero: return "write zero";
        case ErrorKind::StorageFull: return "no storage space";
        case ErrorKind::FileTooLarge: return "file too large";
        case ErrorKind::CrossesDevices: return "cross-device link or rename";
        case ErrorKind::Interrupted: return "operation interrupted";
        case ErrorKind::Unsupported: return "unsupported";
        case ErrorKind::UnexpectedEof: return "unexpected end of file";
        case ErrorKind::OutOfMemory: return "out of memory";
        case ErrorKind::Other: return "other error";
    }
    return "other error";
}

ErrorKind kind_of_errno(int e) {
    switch (e) {
        case ENOENT: return ErrorKind::NotFound;
        case EPERM:
        case EACCES: return ErrorKind::PermissionDenied;
        case ECONNREFUSED: return ErrorKind::ConnectionRefused;
        case ECONNRESET: return ErrorKind::ConnectionReset;
        case ECONNABORTED: return ErrorKind::ConnectionAborted;
        case ENOTCONN: return ErrorKind::NotConnected;
        case EADDRINUSE: return ErrorKind::AddrInUse;
        case EADDRNOTAVAIL: return ErrorKind::AddrNotAvailable;
        case EPIPE: return ErrorKind::BrokenPipe;
        case EEXIST: return ErrorKind::AlreadyExists;
        case EAGAIN: return ErrorKind::WouldBlock;
        case ENOTDIR: return ErrorKind::NotADirectory;
        case EISDIR: return ErrorKind::IsADirectory;
        case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
        case EROFS: return ErrorKind::ReadOnlyFilesystem;
        case EINVAL: return ErrorKind::InvalidInput;
        case ENAMETOOLONG: return ErrorKind::InvalidFilename;
        case ETIMEDOUT: return ErrorKind::TimedOut;
        case ENOSPC: return ErrorKind::StorageFull;
        case EFBIG: return ErrorKind::FileTooLarge;
        case EXDEV: return ErrorKind::CrossesDevices;
        case EINTR: return ErrorKind::Interrupted;
        case ENOSYS:
        case EOPNOTSUPP: return ErrorKind::Unsupported;
        case ENOMEM: return ErrorKind::OutOfMemory;
        default: return ErrorKind::Other;
    }
}

IoError IoError::os(int os_errno) {
    IoError e(kind_of_errno(os_errno));
    e.os_errno = os_errno;
    return e;
}

IoError IoError::last_os() { return os(errno); }

std::string IoError::text() const {
    if (os_errno != 0) {
        char buf[256];
        // The GNU strerror_r returns the message, possibly not in buf.
        const char* msg = strerror_r(os_errno, buf, sizeof buf);
        return std::string(msg) + " (os error " + std::to_string(os_errno) + ")";
    }
    if (message) return *message;
    return std::string(kind_text(kind));
}

Chain::Chain(std::string text) { links_.push_back({std::move(text), {}}); }

Chain::Chain(const IoError& err) : Chain(err.text()) {}

Chain Chain::context(std::string ctx, Cause cause) && {
    add_context(std::move(ctx), std::move(cause));
    return std::move(*this);
}

Chain& Chain::add_context(std::string ctx, Cause cause) {
    links_.insert(links_.begin(), Link{std::move(ctx), std::move(cause)});
    return *this;
}

std::string Chain::render() const {
    std::string out;
    for (size_t i = 0; i < links_.size(); ++i) {
        if (i) out += ": ";
        out += links_[i].text;
    }
    return out;
}

}  // namespace halvo::base

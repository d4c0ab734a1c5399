#pragma once
// Failure: the error of every Client operation; where an answer's large
// binary may be read to.
#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include "base/blob.hpp"
#include "base/error.hpp"
#include "protocol/message/error.hpp"

namespace halvo::protocol {

class Failure {
public:
    static Failure refused(message::Error e) { return Failure(std::move(e)); }
    static Failure broken(Chain c) { return Failure(std::move(c)); }

    bool is_refused() const { return v_.index() == 0; }
    const message::Error* refused_error() const { return std::get_if<0>(&v_); }
    const Chain* broken_chain() const { return std::get_if<1>(&v_); }

    // "the console server refused: {}" or "the console channel broke: {}",
    // the latter with the chain's outermost context only.
    std::string text() const;
    // Refused(Error { .. }) or Broken("every link of the chain").
    std::string debug() const;

private:
    explicit Failure(message::Error e) : v_(std::move(e)) {}
    explicit Failure(Chain c) : v_(std::move(c)) {}
    std::variant<message::Error, Chain> v_;
};

template <class T>
using FailureResult = Result<T, Failure>;

// Room of its own for the payload of a large binary in an answer, so that
// it needs no copy after the read: an event loop's thread hands out a
// bytes object to be.
class BinarySink {
public:
    virtual ~BinarySink() = default;
    // Room for `n` bytes; none puts them in the frame's body as usual.
    virtual std::optional<Room> room(std::size_t n) = 0;
};

// The failure as a chain: its own text, carrying the failure, then its
// sources (the error record, or every link of the chain it carries).
Chain chain_of(const Failure& f);
// The outermost failure a chain carries.
const Failure* find_failure(const Chain& c);

}  // namespace halvo::protocol

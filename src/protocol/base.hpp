#pragma once
// Failure: the error of every Client operation.
#include <string>
#include <variant>

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

// The failure as a chain: its own text, carrying the failure, then its
// sources (the error record, or every link of the chain it carries).
Chain chain_of(const Failure& f);
// The outermost failure a chain carries.
const Failure* find_failure(const Chain& c);

}  // namespace halvo::protocol

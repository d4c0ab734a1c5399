#include "protocol/base.hpp"

#include "quote.hpp"

namespace halvo::protocol {

std::string Failure::text() const {
    if (const auto* e = refused_error()) return "the console server refused: " + e->text();
    return "the console channel broke: " + broken_chain()->outermost();
}

std::string Failure::debug() const {
    if (const auto* e = refused_error()) return "Refused(" + e->debug() + ")";
    return "Broken(" + quoted(broken_chain()->render()) + ")";
}

}  // namespace halvo::protocol

#include "protocol/base.hpp"

namespace halvo::protocol {

std::string Failure::text() const {
    if (const auto* e = refused_error()) return "the console server refused: " + e->text();
    return "the console channel broke: " + broken_chain()->outermost();
}

}  // namespace halvo::protocol

#include "protocol/base.hpp"

#include "base/quote.hpp"

namespace halvo::protocol {

std::string Failure::text() const {
    if (const auto* e = refused_error()) return "the console server refused: " + e->text();
    return "the console channel broke: " + broken_chain()->outermost();
}

std::string Failure::debug() const {
    if (const auto* e = refused_error()) return "Refused(" + e->debug() + ")";
    return "Broken(" + quoted(broken_chain()->render()) + ")";
}

Chain chain_of(const Failure& f) {
    Chain c = f.refused_error() ? Chain(f.refused_error()->text()) : *f.broken_chain();
    return std::move(c).context(f.text(), Cause::of(f));
}

const Failure* find_failure(const Chain& c) { return c.find<Failure>(); }

}  // namespace halvo::protocol

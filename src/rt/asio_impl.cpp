// Asio is compiled once, here.
#include <asio/impl/src.hpp>

// Any bytes: the envelope reader either refuses them or gives a message
// that writes and reads back to the same message and the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/message/message.hpp"

using halvo::protocol::message::Message;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto m = Message::read(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!m) {
        (void)m.error().display();
        return 0;
    }
    (void)m->debug();
    // Everything read fits the writer: ids and numbers come from int64s at
    // or above 0, and every text was valid UTF-8.
    auto once = m->write();
    if (!once) std::abort();
    auto again = Message::read(*once);
    if (!again || !(*again == *m)) std::abort();
    auto twice = again->write();
    if (!twice || *twice != *once) std::abort();
    return 0;
}

#include "protocol/message/call/list_images.hpp"

namespace halvo::protocol::message::call {

HALVO_RECORD_TABLE(ListImagesCall)

}  // namespace halvo::protocol::message::call

#include "protocol/message/call/remove_image.hpp"

namespace halvo::protocol::message::call {

HALVO_RECORD_TABLE(RemoveImageCall, codec::required("image", &RemoveImageCall::image))
HALVO_RECORD_TABLE(RemoveImageResp)

}  // namespace halvo::protocol::message::call

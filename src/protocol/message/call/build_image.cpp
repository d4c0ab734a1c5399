#include "protocol/message/call/build_image.hpp"

namespace halvo::protocol::message::call {

// The recipe is read straight from the params, so its steps fail with the
// texts of this place.
HALVO_RECORD_TABLE(BuildImageCall,
                   codec::required("recipe", &BuildImageCall::recipe, codec::ReadIn<StepContext::BuildImage>{}),
                   codec::optional("ref", &BuildImageCall::reference).shown_as("reference"))

HALVO_RECORD_TABLE(BuildImageResp,
                   codec::required("ref", &BuildImageResp::reference).shown_as("reference"),
                   codec::required("digest", &BuildImageResp::digest))

}  // namespace halvo::protocol::message::call

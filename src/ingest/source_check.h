// The source-URL check: classifies one source URL of a channel and answers whether it is
// accepted.
#pragma once
#include <string>

#include "catalogue/channel_info.h"

namespace kx {

// Checks url as source slot 0-2 of ch (slot 0 is src). A "dir://" first source builds the
// channel's folder file list. 1 accepted, 0 refused; a refusal leaves the channel's
// definition as it is.
int source_url_check(Channel_Info& ch, const std::string& url, int slot);

}  // namespace kx

#pragma once

#include "sdk/error.h"
#include "vm/http_proxy/http_proxy_error.h"

namespace quorrel::sdk {

// The SDK form of a proxy failure; the message is the variant's payload,
// not its display text. Total.
SdkError map_http_proxy_error(vm::http_proxy::HttpProxyError error);

}  // namespace quorrel::sdk

#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sdk/config.h"

namespace quorrel::python {

// The isolation text of the Sandbox constructor without leading and trailing
// Unicode White_Space and with ASCII letters in lower case. `text` is UTF-8.
std::string normalise_isolation_name(std::string_view text);

// The level a normalised isolation text names: "auto", "os", "wasm",
// "microvm" (also "micro-vm" and "micro_vm"); nullopt for anything else.
std::optional<sdk::IsolationLevel> isolation_level_named(std::string_view normalised);

}  // namespace quorrel::python

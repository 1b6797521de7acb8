#pragma once

#include <string_view>

#include "core/sandbox.h"

namespace quorrel::os {

// The check made before the OS level touches a host path for a file
// operation: not empty, and no ".." anywhere in the text.
core::Result<void> validate_path(std::string_view path);

}  // namespace quorrel::os

#pragma once

#include <expected>
#include <string>

namespace quorrel::agent {

// Prepares the guest when the agent is /init: mounts /proc, /sys, /dev,
// /dev/pts, /dev/shm, /tmp, /run and /sandbox (tmpfs), points the standard
// descriptors at /dev/null (the kernel gave none: the image has no
// /dev/console, so no tty driver ever owns the UART), and lowers the kernel
// console log level so that kernel messages never cut into frames.
// Mount failures are not fatal (each is reported in the result text).
std::string prepare_guest();

}  // namespace quorrel::agent

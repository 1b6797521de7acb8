#pragma once

#include <sys/types.h>

#include <optional>

namespace quorrel::os {

// The exit status the intermediate process copies from its child's wait
// status: the exit status itself, or 128 + n for a death by signal n in
// 1..31. Every other status (stopped, continued, other signals) keeps it
// waiting: nullopt.
std::optional<int> mirrored_exit_status(int wait_status);

// The intermediate process between the launcher and process 1 of the new
// PID namespace: waits for `child` and exits with its mirrored status.
[[noreturn]] void wait_and_mirror_exit(pid_t child);

}  // namespace quorrel::os

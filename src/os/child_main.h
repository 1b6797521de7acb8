#pragma once

#include "os/child_plan.h"

namespace quorrel::os {

// Descriptors the forked child receives. The read ends and the handshake
// descriptors are -1 when absent.
struct ChildFds {
  int stdout_write = -1;
  int stderr_write = -1;
  int stdout_read = -1;
  int stderr_read = -1;
  int handshake_to_parent = -1;
  int handshake_from_parent = -1;
};

// In the forked child: new process group, fixed environment, standard
// streams, then the confinement and the exec. Never returns: it ends by
// exec or by an exit with a status of 119 to 127 after one
// "[quorrel:error] " line on standard error.
[[noreturn]] void child_main(const ChildPlan& plan, const ChildFds& fds);

// Resource limits, Landlock, namespaces (with the intermediate process 1
// waiter), seccomp and exec, in this order.
[[noreturn]] void apply_security_policies_and_exec(const ChildPlan& plan, const ChildFds& fds);

}  // namespace quorrel::os

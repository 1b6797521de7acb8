#pragma once

#include <sys/types.h>

#include <expected>

#include "core/io_error.h"

namespace quorrel::os {

// CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWNS.
inline constexpr int kFullNamespaceFlags = 0x78020000;
// The same without the user namespace, for hosts where only root may create
// user namespaces.
inline constexpr int kFallbackNamespaceFlags = 0x68020000;

// The host uid and gid of a sandboxed command whose launcher runs with root
// ids; inside its user namespace it sees the same numbers.
inline constexpr uid_t kSandboxUid = 65534;
inline constexpr gid_t kSandboxGid = 65534;

// True when the calling process has uid or gid 0 (real or effective): a
// command keeping those ids would own every system file.
bool launcher_has_root_ids();

// Parent side, after the child unshared a user namespace: denies setgroups
// and maps 65534 to host 65534 for users and groups.
std::expected<void, core::IoError> write_sandbox_id_mapping(pid_t child);

// Bytes of the launcher handshake. The child reports which namespace set it
// unshared; the parent answers once the child may go on.
inline constexpr char kHandshakeFullSet = 'U';
inline constexpr char kHandshakeFallbackSet = 'F';
inline constexpr char kHandshakeProceed = 'G';

}  // namespace quorrel::os

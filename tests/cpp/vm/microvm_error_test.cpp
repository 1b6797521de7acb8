#include <gtest/gtest.h>

#include <cerrno>

#include "vm/vm/microvm_error.h"

namespace quorrel::vm {
namespace {

using core::SandboxError;

TEST(MicrovmError, DisplayTexts) {
  const std::pair<MicrovmError, std::string> cases[] = {
      {MicrovmError::unsupported(), "KVM microVM backend not supported on current platform"},
      {MicrovmError::invalid_config("x"), "invalid microVM config: x"},
      {MicrovmError::not_ready(), "microVM lifecycle error: KVM backend is not in Ready state"},
      {MicrovmError::destroyed(), "microVM lifecycle error: KVM backend destroyed, cannot reuse guest state"},
      {MicrovmError::lifecycle(LifecycleError::released("VM has been released")), "microVM lifecycle error: VM has been released"},
      {MicrovmError::lifecycle(LifecycleError::snapshot_not_ready()), "microVM lifecycle error: snapshot only allowed in Ready state"},
      {MicrovmError::lifecycle(LifecycleError::fork_not_ready()), "microVM lifecycle error: fork only allowed in Ready state"},
      {MicrovmError::backend("boom"), "KVM backend error: boom"},
      {MicrovmError::guest_file("/a/b", GuestFileErrorKind::from_status(1)), "guest file error: /a/b: path not found"},
      {MicrovmError::guest_file("/c", GuestFileErrorKind::from_status(2)), "guest file error: /c: I/O error"},
      {MicrovmError::guest_file("/c", GuestFileErrorKind::from_status(3)), "guest file error: /c: permission denied"},
      {MicrovmError::guest_file("/c", GuestFileErrorKind::from_status(4)), "guest file error: /c: out of space"},
      {MicrovmError::guest_file("/c", GuestFileErrorKind::from_status(9)), "guest file error: /c: unknown status code 9"},
      {MicrovmError::snapshot("bad"), "invalid snapshot format: bad"},
      {MicrovmError::io(core::IoError::from_errno(ENOENT)), "I/O error: No such file or directory (os error 2)"},
  };
  for (const auto& [e, text] : cases) EXPECT_EQ(e.to_string(), text);
  const auto not_ready = MicrovmError::not_ready();
  const auto& lc = *not_ready.lifecycle_error();
  EXPECT_EQ(lc.kind(), LifecycleError::Kind::InvalidState);
  EXPECT_EQ(lc.expected(), "Ready");
  EXPECT_EQ(lc.actual(), "not Ready");
}

TEST(MicrovmError, ConversionToSandboxError) {
  const std::pair<MicrovmError, SandboxError> cases[] = {
      {MicrovmError::unsupported(), SandboxError::unsupported_platform()},
      {MicrovmError::backend("x"), SandboxError::execution_failed("x")},
      {MicrovmError::invalid_config("y"), SandboxError::execution_failed("y")},
      {MicrovmError::snapshot("z"), SandboxError::execution_failed("z")},
      {MicrovmError::not_ready(), SandboxError::execution_failed("KVM backend is not in Ready state")},
      {MicrovmError::guest_file("/p", GuestFileErrorKind::from_status(1)),
       SandboxError::execution_failed("guest file error: /p: path not found")},
      {MicrovmError::io(core::IoError::from_errno(EACCES)), SandboxError::io(core::IoError::from_errno(EACCES))},
  };
  for (const auto& [e, expected] : cases) EXPECT_EQ(e.to_sandbox_error(), expected) << e.to_string();
}

}  // namespace
}  // namespace quorrel::vm

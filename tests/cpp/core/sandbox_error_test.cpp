#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/sandbox.h"

namespace quorrel::core {
namespace {

TEST(SandboxError, DisplayTextOfEveryVariant) {
  struct Case {
    SandboxError error;
    SandboxError::Kind kind;
    std::string display;
  };
  const std::vector<Case> cases = {
      {SandboxError::unsupported_platform(), SandboxError::Kind::UnsupportedPlatform,
       "sandbox backend not supported on current platform"},
      {SandboxError::unsupported("abc"), SandboxError::Kind::Unsupported, "operation not supported: abc"},
      {SandboxError::namespace_failed("abc"), SandboxError::Kind::NamespaceFailed, "namespace creation failed: abc"},
      {SandboxError::pivot_root_failed("abc"), SandboxError::Kind::PivotRootFailed, "pivot_root failed: abc"},
      {SandboxError::mount_failed("abc"), SandboxError::Kind::MountFailed, "mount failed: abc"},
      {SandboxError::landlock_failed("abc"), SandboxError::Kind::LandlockFailed,
       "Landlock rule enforcement failed: abc"},
      {SandboxError::seccomp_failed("abc"), SandboxError::Kind::SeccompFailed,
       "Seccomp filter enforcement failed: abc"},
      {SandboxError::execution_failed("abc"), SandboxError::Kind::ExecutionFailed, "command execution failed: abc"},
      {SandboxError::invalid_snapshot(), SandboxError::Kind::InvalidSnapshot, "invalid sandbox snapshot"},
      {SandboxError::timeout(), SandboxError::Kind::Timeout, "child process timed out"},
      {SandboxError::pipe_error("abc"), SandboxError::Kind::PipeError, "pipe I/O error: abc"},
      {SandboxError::syscall_error("abc"), SandboxError::Kind::SyscallError, "syscall error: abc"},
      {SandboxError::io(IoError::from_errno(ENOENT)), SandboxError::Kind::Io,
       "I/O error: No such file or directory (os error 2)"},
  };
  ASSERT_EQ(cases.size(), 13u);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(cases[i].kind), i);
    EXPECT_EQ(cases[i].error.kind(), cases[i].kind);
    EXPECT_EQ(cases[i].error.to_string(), cases[i].display);
  }
}

TEST(SandboxError, PayloadIsInsertedVerbatim) {
  const std::string odd = "{} %s \n\xff tail";
  EXPECT_EQ(SandboxError::pipe_error(odd).to_string(), "pipe I/O error: " + odd);
  EXPECT_EQ(SandboxError::execution_failed("").to_string(), "command execution failed: ");
  EXPECT_EQ(SandboxError::execution_failed(odd).text(), odd);
}

TEST(SandboxError, SyscallErrnoRendersNameAndKernelDescription) {
  EXPECT_EQ(SandboxError::syscall_errno(EAGAIN).to_string(), "syscall error: EAGAIN: Try again");
  EXPECT_EQ(SandboxError::syscall_errno(EAGAIN).text(), "EAGAIN: Try again");
  EXPECT_EQ(SandboxError::syscall_errno(EPERM).to_string(), "syscall error: EPERM: Operation not permitted");
}

TEST(SandboxError, IoVariantKeepsTheIoError) {
  const auto e = SandboxError::io(IoError::from_errno(EACCES));
  ASSERT_NE(e.io_error(), nullptr);
  EXPECT_EQ(e.io_error()->kind(), IoErrorKind::PermissionDenied);
  EXPECT_EQ(e.io_error()->raw_os_error(), EACCES);
  EXPECT_EQ(SandboxError::timeout().io_error(), nullptr);
  EXPECT_EQ(SandboxError::io(IoError::custom(IoErrorKind::Other, "disk on fire")).to_string(),
            "I/O error: disk on fire");
}

TEST(SandboxInterface, FileDefaultsFailWithTheRecognisedTexts) {
  struct Minimal final : Sandbox {
    Result<SandboxResult> execute(const std::vector<std::string>&) override { return SandboxResult{}; }
    void destroy() override {}
  } backend;
  auto r = backend.read_file("/etc/hostname");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), SandboxError::execution_failed("file reading not supported by current backend"));
  auto w = backend.write_file("/tmp/x", "data");
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error(), SandboxError::execution_failed("file writing not supported by current backend"));
}

}  // namespace
}  // namespace quorrel::core

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "core/io_error.h"

namespace quorrel::core {
namespace {

TEST(IoError, RendersLikeThePlatform) {
  EXPECT_EQ(IoError::from_errno(ENOENT).to_string(), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::from_errno(EACCES).to_string(), "Permission denied (os error 13)");
  EXPECT_EQ(IoError::custom(IoErrorKind::InvalidData, "bad bytes").to_string(), "bad bytes");
  EXPECT_EQ(IoError::custom(IoErrorKind::InvalidData, "bad bytes").raw_os_error(), std::nullopt);
  errno = ENOSPC;
  const auto last = IoError::last_os_error();
  EXPECT_EQ(last.raw_os_error(), ENOSPC);
  EXPECT_EQ(last.kind(), IoErrorKind::Other);
}

TEST(IoError, KindFollowsErrno) {
  const std::map<int, IoErrorKind> cases = {
      {ENOENT, IoErrorKind::NotFound},      {EACCES, IoErrorKind::PermissionDenied},
      {EPERM, IoErrorKind::PermissionDenied}, {EEXIST, IoErrorKind::AlreadyExists},
      {EINTR, IoErrorKind::Interrupted},    {EAGAIN, IoErrorKind::WouldBlock},
      {EPIPE, IoErrorKind::BrokenPipe},     {EIO, IoErrorKind::Other},
  };
  for (const auto& [err, kind] : cases) EXPECT_EQ(IoError::from_errno(err).kind(), kind) << err;
}

TEST(Errno, RenderedAsNameColonDescription) {
  EXPECT_EQ(render_errno(EAGAIN), "EAGAIN: Try again");
  EXPECT_EQ(render_errno(ENOENT), "ENOENT: No such file or directory");
  EXPECT_EQ(render_errno(ENOSYS), "ENOSYS: Invalid system call number");
  EXPECT_EQ(errno_name(0), "UnknownErrno");
  EXPECT_EQ(errno_name(-5), "UnknownErrno");
  EXPECT_EQ(errno_name(100000), "UnknownErrno");
}

// Every "#define ENAME <number> /* description */" line of the kernel's uapi
// headers must be reproduced by the table.
TEST(Errno, TableMatchesTheKernelHeaders) {
  const std::regex define(R"(^#define\s+(E[A-Z0-9]+)\s+([0-9]+)\s*/\*\s*(.*?)\s*\*/)");
  int checked = 0;
  for (const char* header : {"/usr/include/asm-generic/errno-base.h", "/usr/include/asm-generic/errno.h"}) {
    std::ifstream in(header);
    if (!in) GTEST_SKIP() << header << " not installed";
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      if (!std::regex_search(line, m, define)) continue;
      const int value = std::atoi(m[2].str().c_str());
      EXPECT_EQ(errno_name(value), m[1].str()) << line;
      EXPECT_EQ(errno_description(value), m[3].str()) << line;
      ++checked;
    }
  }
  EXPECT_GT(checked, 120);
}

}  // namespace
}  // namespace quorrel::core

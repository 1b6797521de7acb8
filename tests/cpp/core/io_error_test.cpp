#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
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

struct ErrnoDefine {
  std::string name;
  int value;
  std::string description;
};

// Parses "#define ENAME <number> /* description */"; nullopt for other lines.
std::optional<ErrnoDefine> parse_errno_define(const std::string& line) {
  std::istringstream in(line);
  std::string directive, name, number;
  if (!(in >> directive >> name >> number) || directive != "#define" || name.empty() || name[0] != 'E') {
    return std::nullopt;
  }
  if (number.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const auto open = line.find("/*");
  const auto close = line.find("*/");
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  std::string description = line.substr(open + 2, close - open - 2);
  description.erase(0, description.find_first_not_of(' '));
  description.erase(description.find_last_not_of(' ') + 1);
  return ErrnoDefine{name, std::atoi(number.c_str()), description};
}

// Every numbered errno of the kernel's uapi headers must be reproduced by the
// table, name and description.
TEST(Errno, TableMatchesTheKernelHeaders) {
  int checked = 0;
  for (const char* header : {"/usr/include/asm-generic/errno-base.h", "/usr/include/asm-generic/errno.h"}) {
    std::ifstream in(header);
    if (!in) GTEST_SKIP() << header << " not installed";
    std::string line;
    while (std::getline(in, line)) {
      for (char& c : line) {
        if (c == '\t') c = ' ';
      }
      const auto def = parse_errno_define(line);
      if (!def) continue;
      EXPECT_EQ(errno_name(def->value), def->name) << line;
      EXPECT_EQ(errno_description(def->value), def->description) << line;
      ++checked;
    }
  }
  EXPECT_GT(checked, 120);
}

}  // namespace
}  // namespace quorrel::core

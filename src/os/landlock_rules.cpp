#include "os/landlock_rules.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "core/utf8.h"
#include "os/error_line.h"

namespace quorrel::os {

namespace {

struct RulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};

[[noreturn]] void fail_landlock(std::string_view step, int err) {
  ErrorLine line;
  line.append("Landlock enforcement failed (fatal): ").append(step).append(": ").append_errno(err);
  fail_child(122, line.view());
}

}  // namespace

std::uint64_t landlock_handled_rights(int abi) {
  std::uint64_t rights = kLandlockAbi1Rights;
  if (abi >= 2) rights |= kLandlockRefer;
  if (abi >= 3) rights |= kLandlockTruncate;
  return rights;
}

LandlockRules::LandlockRules(const std::vector<std::filesystem::path>& read_only,
                             const std::vector<std::filesystem::path>& read_write) {
  storage_.reserve(read_only.size() + read_write.size());
  std::vector<bool> kinds;
  const auto add = [&](const std::filesystem::path& p, bool rw) {
    // Paths that are not valid UTF-8 are skipped, like the JSON form does.
    if (!core::is_valid_utf8(p.native())) return;
    storage_.push_back(p.native());
    kinds.push_back(rw);
  };
  for (const auto& p : read_only) add(p, false);
  for (const auto& p : read_write) add(p, true);
  entries_.reserve(storage_.size());
  for (std::size_t i = 0; i < storage_.size(); ++i) entries_.push_back({storage_[i].c_str(), kinds[i]});
}

void LandlockRules::apply_in_child() const {
  long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) return;
  if (abi > 6) abi = 6;
  const std::uint64_t handled = landlock_handled_rights(static_cast<int>(abi));

  RulesetAttr attr{handled, 0, 0};
  long ruleset = ::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
  if (ruleset < 0) fail_landlock("landlock_create_ruleset", errno);
  const int ruleset_fd = static_cast<int>(ruleset);

  for (const Entry& e : entries_) {
    int fd = ::open(e.path, O_PATH | O_CLOEXEC);
    if (fd < 0) continue;  // a missing tree is skipped silently
    struct stat st {};
    const bool is_dir = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    std::uint64_t rights = e.read_write ? (is_dir ? kReadWriteDirRights : kReadWriteFileRights)
                                        : (is_dir ? kReadOnlyDirRights : kReadOnlyFileRights);
    landlock_path_beneath_attr rule{};
    rule.allowed_access = rights & handled;
    rule.parent_fd = fd;
    if (::syscall(SYS_landlock_add_rule, ruleset_fd, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
      const int err = errno;
      ErrorLine step;
      step.append("landlock_add_rule(").append(e.path).append(")");
      fail_landlock(step.view(), err);
    }
    ::close(fd);
  }

  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail_landlock("prctl(PR_SET_NO_NEW_PRIVS)", errno);
  if (::syscall(SYS_landlock_restrict_self, ruleset_fd, 0) != 0) fail_landlock("landlock_restrict_self", errno);
  ::close(ruleset_fd);
}

}  // namespace quorrel::os

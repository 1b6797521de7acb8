#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>

#include "os/cgroup.h"
#include "os/error_line.h"
#include "os/landlock_rules.h"
#include "os/pid1_waiter.h"

namespace quorrel::os {
namespace {

constexpr const char* kPureV2 =
    "22 1 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
    "25 23 0:23 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
constexpr const char* kHybrid =
    "30 25 0:26 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "31 30 0:27 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "40 30 0:35 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
constexpr const char* kV1Only =
    "30 25 0:26 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "31 30 0:27 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n";
// Optional fields before the separator, and an escaped blank in the path.
constexpr const char* kEscaped =
    "50 1 0:40 / /run/my\\040cgroups rw master:3 shared:9 - cgroup2 none rw\n";

TEST(CgroupLocation, FindsTheCgroup2MountAndBuildsTheSandboxDirectory) {
  struct Case {
    const char* name;
    const char* mountinfo;
    std::optional<std::string> mount;
    std::string dir_for_4242;
  };
  const Case cases[] = {
      {"pure v2", kPureV2, "/sys/fs/cgroup", "/sys/fs/cgroup/quorrel/sandbox-4242"},
      {"hybrid", kHybrid, "/sys/fs/cgroup/unified", "/sys/fs/cgroup/unified/quorrel/sandbox-4242"},
      {"escaped", kEscaped, "/run/my cgroups", "/run/my cgroups/quorrel/sandbox-4242"},
      {"v1 only", kV1Only, std::nullopt, ""},
      {"empty", "", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    const auto mount = find_cgroup2_mount(c.mountinfo);
    ASSERT_EQ(mount.has_value(), c.mount.has_value()) << c.name;
    if (!mount) continue;
    EXPECT_EQ(mount->string(), *c.mount) << c.name;
    EXPECT_EQ(sandbox_cgroup_dir(*mount, 4242).string(), c.dir_for_4242) << c.name;
  }
}

TEST(CgroupLocation, CpuMaxText) { EXPECT_EQ(cpu_max_text(50000, 100000), "50000 100000"); }

TEST(Pid1Waiter, MirrorsExitAndSignalStatuses) {
  struct Case {
    int wait_status;
    std::optional<int> mirrored;
  };
  const Case cases[] = {
      {W_EXITCODE(0, 0), 0},     {W_EXITCODE(3, 0), 3},   {W_EXITCODE(255, 0), 255},
      {W_EXITCODE(0, SIGKILL), 137}, {W_EXITCODE(0, SIGTERM), 143}, {W_EXITCODE(0, SIGSYS), 159},
      {W_STOPCODE(SIGSTOP), std::nullopt}, {0xffff, std::nullopt},  // continued
      {W_EXITCODE(0, 34), std::nullopt},  // a real-time signal keeps it waiting
  };
  for (const auto& c : cases) EXPECT_EQ(mirrored_exit_status(c.wait_status), c.mirrored) << c.wait_status;
}

TEST(LandlockRights, HandledRightsGrowWithTheAbi) {
  EXPECT_EQ(landlock_handled_rights(1), 0x1FFFu);
  EXPECT_EQ(landlock_handled_rights(2), 0x3FFFu);
  EXPECT_EQ(landlock_handled_rights(3), 0x7FFFu);
  EXPECT_EQ(landlock_handled_rights(6), 0x7FFFu);
  // REFER and TRUNCATE only beneath the read-write trees.
  EXPECT_EQ(kReadOnlyDirRights, 0xDu);
  EXPECT_EQ(kReadOnlyFileRights, 0x5u);
  EXPECT_EQ(kReadWriteDirRights & landlock_handled_rights(1), 0x1FFFu);
  EXPECT_EQ(kReadWriteFileRights & landlock_handled_rights(1), 0x7u);
  EXPECT_EQ(kReadWriteDirRights, 0x7FFFu);
  EXPECT_EQ(kReadWriteFileRights, 0x4007u);
}

TEST(LandlockRules, SkipsPathsThatAreNotUtf8) {
  const LandlockRules rules({"/usr", std::string("/bad\xff"), "/etc"}, {"/tmp"});
  ASSERT_EQ(rules.entries().size(), 3u);
  EXPECT_STREQ(rules.entries()[0].path, "/usr");
  EXPECT_FALSE(rules.entries()[0].read_write);
  EXPECT_STREQ(rules.entries()[1].path, "/etc");
  EXPECT_STREQ(rules.entries()[2].path, "/tmp");
  EXPECT_TRUE(rules.entries()[2].read_write);
}

TEST(ErrorLine, FormatsWithoutAllocation) {
  ErrorLine line;
  line.append("x: ").append_errno(EPERM).append(" ").append_decimal(0).append(" ").append_decimal_signed(-22);
  EXPECT_EQ(line.view(), "x: EPERM: Operation not permitted 0 -22");
  ErrorLine full;
  for (int i = 0; i < 2000; ++i) full.append("a");
  EXPECT_EQ(full.view().size(), ErrorLine::kCapacity);
}

}  // namespace
}  // namespace quorrel::os

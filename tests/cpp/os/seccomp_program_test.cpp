#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "bpf_interpreter.h"
#include "os/seccomp_program.h"
#include "os/seccomp_syscalls.h"

namespace quorrel::os {
namespace {

using core::SeccompProfile;

constexpr std::uint32_t kTrap = kSeccompRetTrap;
constexpr std::uint32_t kAllow = kSeccompRetAllow;
constexpr std::uint32_t kEnosys = 0x00050000 | 38;

std::vector<sock_filter> build(SeccompProfile p) {
  auto prog = build_seccomp_program(p);
  EXPECT_TRUE(prog.has_value()) << prog.error();
  return prog ? *prog : std::vector<sock_filter>{};
}

// Lengths: 4 prologue + one jump per allowed number + the check blocks + the
// closing TRAP and ALLOW, plus 2 for the clone3 entry (its jump and its
// ERRNO return), plus 1 for FICLONE in the ioctl block.
//  Essential:  4 + 116 numbers + 62 (mmap 8, socket 18, ioctl 18, prctl 7,
//              futex 11) + 2 + 2 = 186: the historic 173, plus the ten
//              everyday calls, the clone3 entry (2) and FICLONE (1).
//  Network:    4 + 127 (116 + the 14 network additions less socket, connect
//              and getpeername, which are already listed) + 98 (socket 19,
//              bind/listen/connect/sendto/recvfrom 7 each, the rest as
//              above) + 2 + 2 = 233 (221 + 9 + 2 + 1).
//  EssentialWithFork: 186 + 6 fork numbers + clone block 7 = 199 (186 + 10 + 2 + 1).
//  NetworkWithFork:   233 + 6 + 7 = 246 (234 + 9 + 2 + 1).
// The largest patched jump is the one of read (index 4): length - 6.
struct LengthCase {
  SeccompProfile profile;
  std::size_t length;
  std::uint8_t largest_jt;
};

TEST(SeccompProgram, LengthsAndLargestJumpPerProfile) {
  const LengthCase cases[] = {
      {SeccompProfile::Essential, 186, 180},
      {SeccompProfile::Network, 233, 227},
      {SeccompProfile::EssentialWithFork, 199, 193},
      {SeccompProfile::NetworkWithFork, 246, 240},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.profile));
    const auto prog = build(c.profile);
    ASSERT_EQ(prog.size(), c.length);
    // Index 4: jump-if-equal 0 (read), patched to the ALLOW at the end.
    EXPECT_EQ(prog[4].code, BPF_JMP | BPF_JEQ | BPF_K);
    EXPECT_EQ(prog[4].k, 0u);
    EXPECT_EQ(prog[4].jt, c.largest_jt);
    EXPECT_EQ(4 + 1 + prog[4].jt, prog.size() - 1);
    std::uint8_t largest = 0;
    for (std::size_t i = 4; i < prog.size(); ++i) {
      if (prog[i].code == (BPF_JMP | BPF_JEQ | BPF_K) && i + 1 + prog[i].jt == prog.size() - 1) {
        largest = std::max(largest, prog[i].jt);
      }
    }
    EXPECT_EQ(largest, c.largest_jt);
    EXPECT_EQ(prog[prog.size() - 2].k, kTrap);
    EXPECT_EQ(prog[prog.size() - 1].k, kAllow);
  }
}

TEST(SeccompProgram, PrologueChecksTheArchitecture) {
  const auto prog = build(SeccompProfile::Essential);
  ASSERT_GE(prog.size(), 4u);
  EXPECT_EQ(prog[0].code, BPF_LD | BPF_W | BPF_ABS);
  EXPECT_EQ(prog[0].k, 4u);
  EXPECT_EQ(prog[1].code, BPF_JMP | BPF_JEQ | BPF_K);
  EXPECT_EQ(prog[1].k, 0xC000003Eu);
  EXPECT_EQ(prog[1].jt, 1);
  EXPECT_EQ(prog[1].jf, 0);
  EXPECT_EQ(prog[2].code, BPF_RET | BPF_K);
  EXPECT_EQ(prog[2].k, kTrap);
  EXPECT_EQ(prog[3].code, BPF_LD | BPF_W | BPF_ABS);
  EXPECT_EQ(prog[3].k, 0u);
}

TEST(SeccompProgram, ChainIsAscendingAndTheDuplicateGivesOneJump) {
  const auto stored = essential_syscalls();
  EXPECT_EQ(std::count(stored.begin(), stored.end(), 262u), 2);
  EXPECT_EQ(std::set<std::uint32_t>(stored.begin(), stored.end()).size(), 116u);
  for (auto p : core::kAllSeccompProfiles) {
    const auto prog = build(p);
    // The syscall-number jumps are the JEQs that follow a block or another
    // number jump at the top level: collect them by walking the chain.
    std::vector<std::uint32_t> chain;
    std::size_t i = 4;
    while (i < prog.size() - 2) {
      ASSERT_EQ(prog[i].code, BPF_JMP | BPF_JEQ | BPF_K) << i;
      chain.push_back(prog[i].k);
      i += 1 + (prog[i].jt == 0 ? prog[i].jf : 0);
    }
    EXPECT_TRUE(std::is_sorted(chain.begin(), chain.end()));
    EXPECT_EQ(std::adjacent_find(chain.begin(), chain.end()), chain.end());
    EXPECT_EQ(std::count(chain.begin(), chain.end(), 262u), 1);
    auto allowed = allowed_syscalls(p);
    allowed.push_back(kSysClone3);
    std::sort(allowed.begin(), allowed.end());
    EXPECT_EQ(chain, allowed);
  }
}

TEST(SeccompProgram, EveryListedNumberWithoutCheckIsAllowedAndOthersTrap) {
  const std::set<std::uint32_t> checked = {9, 16, 41, 42, 44, 45, 49, 50, 56, 157, 202};
  for (auto p : core::kAllSeccompProfiles) {
    SCOPED_TRACE(static_cast<int>(p));
    const auto prog = build(p);
    const auto allowed = allowed_syscalls(p);
    for (std::uint32_t nr = 0; nr < 600; ++nr) {
      SeccompInput in;
      in.nr = nr;
      const auto action = run_seccomp_program(prog, in);
      ASSERT_TRUE(action.has_value()) << nr;
      if (nr == kSysClone3) {
        EXPECT_EQ(*action, kEnosys);
      } else if (!std::binary_search(allowed.begin(), allowed.end(), nr)) {
        EXPECT_EQ(*action, kTrap) << nr;
      } else if (!checked.contains(nr)) {
        EXPECT_EQ(*action, kAllow) << nr;
      }
    }
  }
}

TEST(SeccompProgram, EverydayCallsAreInTheEssentialList) {
  const auto allowed = allowed_syscalls(SeccompProfile::Essential);
  for (std::uint32_t nr : {99u, 52u, 204u, 326u, 316u, 266u, 88u, 90u, 91u, 268u}) {
    EXPECT_TRUE(std::binary_search(allowed.begin(), allowed.end(), nr)) << nr;
  }
  EXPECT_FALSE(std::binary_search(allowed.begin(), allowed.end(), kSysClone3));
  EXPECT_EQ(allowed.size(), 116u);
}

struct ArgCase {
  const char* name;
  SeccompProfile profile;
  SeccompInput in;
  std::uint32_t expected;
};

SeccompInput call(std::uint32_t nr, std::initializer_list<std::uint64_t> args) {
  SeccompInput in;
  in.nr = nr;
  std::size_t i = 0;
  for (auto a : args) in.args[i++] = a;
  return in;
}

TEST(SeccompProgram, ArgumentChecks) {
  using enum SeccompProfile;
  SeccompInput foreign = call(0, {});
  foreign.arch = 0x40000003;  // i386
  const ArgCase cases[] = {
      {"foreign architecture", Essential, foreign, kTrap},
      {"mmap private", Essential, call(9, {0, 4096, 1, 0x22}), kAllow},
      {"mmap shared", Essential, call(9, {0, 4096, 1, 0x01}), kAllow},
      {"mmap neither shared nor private", Essential, call(9, {0, 4096, 1, 0x20}), kTrap},
      {"mmap flags with high bits", Essential, call(9, {0, 4096, 1, 0x100000022ULL}), kTrap},
      {"unix stream cloexec", Essential, call(41, {1, 1 | 0x80000, 0}), kAllow},
      {"unix stream nonblock", Essential, call(41, {1, 1 | 0x800, 0}), kAllow},
      {"unix dgram", Essential, call(41, {1, 2, 0}), kTrap},
      {"unix seqpacket", Essential, call(41, {1, 5, 0}), kTrap},
      {"inet under local", Essential, call(41, {2, 1, 0}), kTrap},
      {"inet6", Network, call(41, {10, 1, 0}), kTrap},
      {"netlink", Network, call(41, {16, 3, 0}), kTrap},
      {"inet stream", Network, call(41, {2, 1, 0}), kAllow},
      {"inet dgram", Network, call(41, {2, 2, 0}), kTrap},
      {"domain high bits", Network, call(41, {0x100000002ULL, 1, 0}), kTrap},
      {"listen 128", Network, call(50, {3, 128}), kAllow},
      {"listen 129", Network, call(50, {3, 129}), kTrap},
      {"connect len 128", Network, call(42, {3, 0, 128}), kAllow},
      {"connect len 129", Network, call(42, {3, 0, 129}), kTrap},
      {"connect unchecked locally", Essential, call(42, {3, 0, 4096}), kAllow},
      {"bind len 16", Network, call(49, {3, 0, 16}), kAllow},
      {"sendto null addr", Network, call(44, {3, 0, 10, 0, 0, 0}), kAllow},
      {"recvfrom with pointer", Network, call(45, {3, 0, 10, 0, 0, 0x7ffd0000}), kTrap},
      {"bind missing locally", Essential, call(49, {3, 0, 16}), kTrap},
      {"ioctl TCGETS", Essential, call(16, {0, 0x5401}), kAllow},
      {"ioctl TIOCNOTTY", Essential, call(16, {0, 0x5422}), kAllow},
      {"ioctl FIONREAD", Essential, call(16, {0, 0x541B}), kAllow},
      {"ioctl FICLONE", Essential, call(16, {4, 0x40049409, 3}), kAllow},
      {"ioctl TIOCSTI", Essential, call(16, {0, 0x5412}), kTrap},
      {"ioctl request high bits", Essential, call(16, {0, 0x100005401ULL}), kTrap},
      {"prctl CAPBSET_READ", Essential, call(157, {23}), kAllow},
      {"prctl SET_NAME", NetworkWithFork, call(157, {15}), kTrap},
      {"futex wait private", Essential, call(202, {0, 0x80}), kAllow},
      {"futex wait bitset private", Essential, call(202, {0, 0x89}), kAllow},
      {"futex requeue", Essential, call(202, {0, 3}), kTrap},
      {"clone thread-free fork", EssentialWithFork, call(56, {0x01200011}), kAllow},
      {"clone new user", EssentialWithFork, call(56, {0x10000011}), kTrap},
      {"clone new pid", NetworkWithFork, call(56, {0x20000011}), kTrap},
      {"clone new cgroup", EssentialWithFork, call(56, {0x02000011}), kTrap},
      {"clone thread", EssentialWithFork, call(56, {0x003d0f00}), kAllow},
      {"clone new net", EssentialWithFork, call(56, {0x40000011}), kTrap},
      {"clone new ns", NetworkWithFork, call(56, {0x00020011}), kTrap},
      {"clone without fork profile", Essential, call(56, {0x11}), kTrap},
      {"fork without fork profile", Essential, call(57, {}), kTrap},
      {"fork with fork profile", EssentialWithFork, call(57, {}), kAllow},
      {"clone3 everywhere ENOSYS", Essential, call(435, {}), kEnosys},
      {"clone3 fork profile ENOSYS", NetworkWithFork, call(435, {}), kEnosys},
  };
  for (const auto& c : cases) {
    const auto prog = build(c.profile);
    EXPECT_EQ(run_seccomp_program(prog, c.in), std::optional<std::uint32_t>(c.expected)) << c.name;
  }
}

TEST(SeccompProgram, CachedProgramEqualsAFreshBuild) {
  for (auto p : core::kAllSeccompProfiles) {
    std::string err;
    const auto* cached = cached_seccomp_program(p, &err);
    ASSERT_NE(cached, nullptr) << err;
    const auto fresh = build(p);
    ASSERT_EQ(cached->size(), fresh.size());
    EXPECT_EQ(0, std::memcmp(cached->data(), fresh.data(), fresh.size() * sizeof(sock_filter)));
  }
}

}  // namespace
}  // namespace quorrel::os

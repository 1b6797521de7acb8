#include "os/seccomp_program.h"

#include <algorithm>
#include <array>
#include <string>
#include <map>
#include <optional>

#include "os/seccomp_syscalls.h"

namespace quorrel::os {

namespace {

using Program = std::vector<sock_filter>;

constexpr std::uint16_t kLdWAbs = BPF_LD | BPF_W | BPF_ABS;  // 0x20
constexpr std::uint16_t kJeq = BPF_JMP | BPF_JEQ | BPF_K;     // 0x15
constexpr std::uint16_t kJgt = BPF_JMP | BPF_JGT | BPF_K;     // 0x25
constexpr std::uint16_t kJset = BPF_JMP | BPF_JSET | BPF_K;   // 0x45
constexpr std::uint16_t kAnd = BPF_ALU | BPF_AND | BPF_K;     // 0x54
constexpr std::uint16_t kRet = BPF_RET | BPF_K;               // 0x06

constexpr std::uint32_t kOffsetNr = 0;
constexpr std::uint32_t kOffsetArch = 4;
constexpr std::uint32_t arg_low(int i) { return 16 + 8 * static_cast<std::uint32_t>(i); }
constexpr std::uint32_t arg_high(int i) { return 20 + 8 * static_cast<std::uint32_t>(i); }

sock_filter stmt(std::uint16_t code, std::uint32_t k) { return sock_filter{code, 0, 0, k}; }
sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t jt, std::uint8_t jf) {
  return sock_filter{code, jt, jf, k};
}

enum class Check {
  Mmap,
  SocketLocal,
  SocketNetwork,
  Bind,
  Listen,
  Connect,
  Sendto,
  Recvfrom,
  Ioctl,
  Prctl,
  Futex,
  Clone,
  Clone3Enosys,
};

// Argument i must fit in 32 bits; afterwards its low word is loaded.
void high_word_check_and_load(Program& p, int arg) {
  p.push_back(stmt(kLdWAbs, arg_high(arg)));
  p.push_back(jump(kJeq, 0, 1, 0));
  p.push_back(stmt(kRet, kSeccompRetTrap));
  p.push_back(stmt(kLdWAbs, arg_low(arg)));
}

void at_most_128(Program& p, int arg) {
  high_word_check_and_load(p, arg);
  p.push_back(jump(kJgt, 128, 0, 1));
  p.push_back(stmt(kRet, kSeccompRetTrap));
  p.push_back(stmt(kRet, kSeccompRetAllow));
}

Program check_block(Check check) {
  Program p;
  switch (check) {
    case Check::Mmap:
      // At least one of MAP_SHARED and MAP_PRIVATE.
      high_word_check_and_load(p, 3);
      p.push_back(stmt(kAnd, 3));
      p.push_back(jump(kJeq, 0, 1, 0));
      p.push_back(stmt(kRet, kSeccompRetAllow));
      p.push_back(stmt(kRet, kSeccompRetTrap));
      break;
    case Check::SocketLocal:
    case Check::SocketNetwork:
      high_word_check_and_load(p, 0);
      if (check == Check::SocketLocal) {
        p.push_back(jump(kJeq, 1, 1, 0));  // AF_UNIX
      } else {
        p.push_back(jump(kJeq, 1, 2, 0));  // AF_UNIX
        p.push_back(jump(kJeq, 2, 1, 0));  // AF_INET
      }
      p.push_back(stmt(kRet, kSeccompRetTrap));
      // SOCK_STREAM, optionally with SOCK_NONBLOCK and SOCK_CLOEXEC.
      high_word_check_and_load(p, 1);
      p.push_back(stmt(kAnd, 0xFFF7F7FE));
      p.push_back(jump(kJeq, 0, 1, 0));
      p.push_back(stmt(kRet, kSeccompRetTrap));
      p.push_back(stmt(kLdWAbs, arg_low(1)));
      p.push_back(stmt(kAnd, 1));
      p.push_back(jump(kJeq, 1, 1, 0));
      p.push_back(stmt(kRet, kSeccompRetTrap));
      p.push_back(stmt(kRet, kSeccompRetAllow));
      break;
    case Check::Bind:
    case Check::Connect: at_most_128(p, 2); break;  // address length
    case Check::Sendto:
    case Check::Recvfrom: at_most_128(p, 5); break;
    case Check::Listen: at_most_128(p, 1); break;  // backlog
    case Check::Ioctl: {
      // TCGETS, TCSETS, TCSETSW, TCSETSF, TIOCGPGRP, TIOCSPGRP, TIOCGWINSZ,
      // TIOCSWINSZ, FIONBIO, FIONREAD, TIOCNOTTY, and FICLONE: cp tries a
      // reflink copy first, between two descriptors it already opened, and
      // falls back to copy_file_range when the file system has none.
      constexpr std::uint32_t requests[] = {0x5401, 0x5402, 0x5403, 0x5404, 0x540F, 0x5410,
                                            0x5413, 0x5414, 0x5421, 0x541B, 0x5422, 0x40049409};
      high_word_check_and_load(p, 1);
      std::uint8_t jt = std::size(requests);
      for (auto r : requests) p.push_back(jump(kJeq, r, jt--, 0));
      p.push_back(stmt(kRet, kSeccompRetTrap));
      p.push_back(stmt(kRet, kSeccompRetAllow));
      break;
    }
    case Check::Prctl:
      high_word_check_and_load(p, 0);
      p.push_back(jump(kJeq, 23, 1, 0));  // PR_CAPBSET_READ
      p.push_back(stmt(kRet, kSeccompRetTrap));
      p.push_back(stmt(kRet, kSeccompRetAllow));
      break;
    case Check::Futex: {
      // FUTEX_WAIT, FUTEX_WAKE, their private forms, FUTEX_WAIT_BITSET_PRIVATE.
      constexpr std::uint32_t ops[] = {0, 1, 0x80, 0x81, 0x89};
      high_word_check_and_load(p, 1);
      std::uint8_t jt = std::size(ops);
      for (auto op : ops) p.push_back(jump(kJeq, op, jt--, 0));
      p.push_back(stmt(kRet, kSeccompRetTrap));
      p.push_back(stmt(kRet, kSeccompRetAllow));
      break;
    }
    case Check::Clone:
      // No new namespace of any kind: CLONE_NEWNET, CLONE_NEWIPC,
      // CLONE_NEWUTS and CLONE_NEWNS, and also CLONE_NEWUSER, CLONE_NEWPID and
      // CLONE_NEWCGROUP, which would otherwise let a command build a user
      // namespace of its own (and gain capabilities inside it).
      high_word_check_and_load(p, 0);
      p.push_back(jump(kJset, 0x7E020000, 0, 1));
      p.push_back(stmt(kRet, kSeccompRetTrap));
      p.push_back(stmt(kRet, kSeccompRetAllow));
      break;
    case Check::Clone3Enosys: p.push_back(stmt(kRet, kSeccompRetEnosys)); break;
  }
  return p;
}

}  // namespace

std::expected<Program, std::string> build_seccomp_program(core::SeccompProfile profile) {
  const bool network = core::seccomp_profile_allows_network(profile);
  const bool fork = core::seccomp_profile_allows_fork(profile);
  const std::vector<std::uint32_t> numbers = allowed_syscalls(profile);
  const auto listed = [&](std::uint32_t nr) { return std::binary_search(numbers.begin(), numbers.end(), nr); };

  std::map<std::uint32_t, Check> checks;
  const auto add_check = [&](std::uint32_t nr, Check c) {
    if (listed(nr)) checks.emplace(nr, c);
  };
  add_check(9, Check::Mmap);
  add_check(41, network ? Check::SocketNetwork : Check::SocketLocal);
  if (network) {
    add_check(49, Check::Bind);
    add_check(50, Check::Listen);
    add_check(42, Check::Connect);
    add_check(44, Check::Sendto);
    add_check(45, Check::Recvfrom);
  }
  add_check(16, Check::Ioctl);
  add_check(157, Check::Prctl);
  add_check(202, Check::Futex);
  if (fork) add_check(56, Check::Clone);

  // clone3 is never allowed, but answered with ENOSYS instead of TRAP; it
  // takes its place in the ascending chain like a call with a check block.
  std::vector<std::uint32_t> chain = numbers;
  chain.insert(std::upper_bound(chain.begin(), chain.end(), kSysClone3), kSysClone3);
  checks.emplace(kSysClone3, Check::Clone3Enosys);

  Program p;
  p.push_back(stmt(kLdWAbs, kOffsetArch));
  p.push_back(jump(kJeq, kAuditArchX86_64, 1, 0));
  p.push_back(stmt(kRet, kSeccompRetTrap));
  p.push_back(stmt(kLdWAbs, kOffsetNr));

  std::vector<std::size_t> to_patch;
  for (std::uint32_t nr : chain) {
    auto it = checks.find(nr);
    if (it == checks.end()) {
      to_patch.push_back(p.size());
      p.push_back(jump(kJeq, nr, 0, 0));
      continue;
    }
    Program block = check_block(it->second);
    p.push_back(jump(kJeq, nr, 0, static_cast<std::uint8_t>(block.size())));
    p.insert(p.end(), block.begin(), block.end());
  }

  const std::size_t e = p.size();
  p.push_back(stmt(kRet, kSeccompRetTrap));
  p.push_back(stmt(kRet, kSeccompRetAllow));

  for (std::size_t i : to_patch) {
    if (i >= e + 1) return std::unexpected(std::string("BPF 跳转目标 ALLOW 必须位于当前指令之后"));
    const std::size_t offset = e - i;
    if (offset > 255) return std::unexpected("BPF 跳转到 ALLOW 的偏移过大: " + std::to_string(offset));
    p[i].jt = static_cast<std::uint8_t>(offset);
  }
  if (p.size() > kSeccompMaxInstructions) {
    return std::unexpected("BPF 程序超过 seccomp 指令上限: " + std::to_string(p.size()) + " > " +
                           std::to_string(kSeccompMaxInstructions));
  }
  return p;
}

const std::vector<sock_filter>* cached_seccomp_program(core::SeccompProfile profile, std::string* error) {
  using Built = std::expected<Program, std::string>;
  static const std::array<Built, 4> programs = {
      build_seccomp_program(core::SeccompProfile::Essential),
      build_seccomp_program(core::SeccompProfile::Network),
      build_seccomp_program(core::SeccompProfile::EssentialWithFork),
      build_seccomp_program(core::SeccompProfile::NetworkWithFork),
  };
  const Built& built = programs[static_cast<std::size_t>(profile) & 3];
  if (!built) {
    if (error) *error = built.error();
    return nullptr;
  }
  return &*built;
}

}  // namespace quorrel::os

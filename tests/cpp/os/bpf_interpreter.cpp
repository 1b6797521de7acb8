#include "bpf_interpreter.h"

#include <cstring>

std::optional<std::uint32_t> run_seccomp_program(const std::vector<sock_filter>& program, const SeccompInput& in) {
  // seccomp_data: nr, arch, instruction pointer, six 64-bit arguments.
  unsigned char data[64] = {};
  std::memcpy(data + 0, &in.nr, 4);
  std::memcpy(data + 4, &in.arch, 4);
  std::memcpy(data + 16, in.args, sizeof in.args);
  std::uint32_t acc = 0;
  std::size_t pc = 0;
  while (pc < program.size()) {
    const sock_filter& f = program[pc];
    switch (f.code) {
      case BPF_LD | BPF_W | BPF_ABS:
        if (f.k > 60 || f.k % 4 != 0) return std::nullopt;
        std::memcpy(&acc, data + f.k, 4);
        ++pc;
        break;
      case BPF_ALU | BPF_AND | BPF_K:
        acc &= f.k;
        ++pc;
        break;
      case BPF_RET | BPF_K: return f.k;
      case BPF_JMP | BPF_JEQ | BPF_K:
      case BPF_JMP | BPF_JGT | BPF_K:
      case BPF_JMP | BPF_JSET | BPF_K: {
        bool taken = false;
        if (BPF_OP(f.code) == BPF_JEQ) taken = acc == f.k;
        if (BPF_OP(f.code) == BPF_JGT) taken = acc > f.k;
        if (BPF_OP(f.code) == BPF_JSET) taken = (acc & f.k) != 0;
        pc += 1 + (taken ? f.jt : f.jf);
        break;
      }
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

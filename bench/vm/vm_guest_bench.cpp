// Boot, PING, one-shot command and UART throughput of the KVM backend,
// measured on the freestanding test guest. On hosts where guest ring-0 code
// is emulated these are emulated-CPU figures, not hardware-virtualisation ones.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vm/kvm/kvm_backend.h"

using namespace quorrel;
using Clock = std::chrono::steady_clock;

namespace {

vm::MicrovmConfig guest_config() {
  vm::MicrovmConfig c;
  c.memory_mb = 64;
  c.kernel_path = std::string(QUORREL_TEST_GUEST_DIR) + "/vmlinux";
  c.rootfs_path = std::string(QUORREL_TEST_GUEST_DIR) + "/rootfs.cpio.gz";
  return c;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "vm_guest_bench: %s\n", what.c_str());
  std::exit(1);
}

std::unique_ptr<vm::KvmBackend> booted_vm() {
  auto vm = vm::KvmBackend::create_vm({}, guest_config());
  if (!vm) die(vm.error().to_string());
  if (auto ok = (*vm)->ensure_guest_ready(); !ok) die(ok.error().to_string());
  return std::move(*vm);
}

double command_ms(vm::KvmBackend& vm, const std::vector<std::string>& argv, std::size_t expect_bytes) {
  const auto t = Clock::now();
  auto r = vm.run_command_with_options(argv, {});
  const double ms = ms_since(t);
  if (!r) die(r.error().to_string());
  if (r->stdout_data.size() != expect_bytes) die("unexpected output size for " + argv[0]);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  std::printf("KVM backend on the test guest (emulated-CPU figures: guest ring-0 code is emulated on this host)\n");

  std::vector<double> boots;
  for (int i = 0; i < rounds; ++i) {
    const auto t = Clock::now();
    auto vm = booted_vm();
    boots.push_back(ms_since(t));
  }
  std::printf("create + boot to READY:      median %8.2f ms over %d\n", median(boots), rounds);

  auto vm = booted_vm();
  std::vector<double> pings;
  for (int i = 0; i < rounds * 10; ++i) {
    auto d = vm->ping_with_timeout(core::Duration::from_secs(10));
    if (!d) die(d.error().to_string());
    pings.push_back(d->as_secs_f64() * 1000);
  }
  std::printf("PING round trip:             median %8.3f ms over %d\n", median(pings), rounds * 10);

  std::vector<double> cmds;
  for (int i = 0; i < rounds * 4; ++i) cmds.push_back(command_ms(*vm, {"true"}, 0));
  std::printf("one-shot command (true):     median %8.3f ms over %d\n", median(cmds), rounds * 4);

  const std::size_t bytes = 65536;
  std::vector<double> rep, bytewise;
  for (int i = 0; i < rounds; ++i) {
    rep.push_back(command_ms(*vm, {"large", std::to_string(bytes)}, bytes));
    bytewise.push_back(command_ms(*vm, {"large", std::to_string(bytes), "bytewise"}, bytes));
  }
  const double rep_ms = median(rep), byte_ms = median(bytewise);
  std::printf("UART 64 KiB, rep outsb:      median %8.2f ms  (%7.1f KiB/s)\n", rep_ms, 64 / (rep_ms / 1000));
  std::printf("UART 64 KiB, out per byte:   median %8.2f ms  (%7.1f KiB/s)\n", byte_ms, 64 / (byte_ms / 1000));
  std::printf("ratio per-byte / rep outsb:  %.2fx\n", byte_ms / rep_ms);
  return 0;
}

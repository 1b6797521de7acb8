#include <gtest/gtest.h>

#include "test_guest_fixture.h"
#include "vm/kvm/devices/serial/frame_encoders.h"
#include "vm/kvm/kernel_loader.h"

namespace quorrel::vm {
namespace {

using testing_support::make_backend;
using testing_support::test_guest_config;

GuestCommandResult run_ok(KvmBackend& vm, std::vector<std::string> argv, GuestCommandOptions o = {}) {
  auto r = vm.run_command_with_options(argv, o);
  EXPECT_TRUE(r) << argv[0] << ": " << (r ? "" : r.error().to_string());
  return r ? *r : GuestCommandResult{};
}

std::string run_error(KvmBackend& vm, std::vector<std::string> argv, GuestCommandOptions o = {}) {
  auto r = vm.run_command_with_options(argv, o);
  return r ? "<no error>" : r.error().to_string();
}

class KvmCommands : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing_support::have_kvm()) return;
    vm_ = make_backend().release();
  }
  static void TearDownTestSuite() {
    delete vm_;
    vm_ = nullptr;
  }
  void SetUp() override {
    REQUIRE_KVM();
    ASSERT_NE(vm_, nullptr);
    ASSERT_EQ(vm_->state(), BackendState::Ready);
  }
  static KvmBackend* vm_;
};
KvmBackend* KvmCommands::vm_ = nullptr;

TEST_F(KvmCommands, OutputAndExitCodes) {
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
  struct Case {
    std::vector<std::string> argv;
    std::string out, err;
    int code;
  };
  const Case cases[] = {
      {{"echo", "hi", "there"}, "hi there\n", "", 0},
      {{"true"}, "", "", 0},
      {{"false"}, "", "", 1},
      {{"exit", "7"}, "", "", 7},
      {{"exit", "-3"}, "", "", -3},
      {{"stderr", "oops"}, "", "oops", 0},
      {{"binary"}, all_bytes, "\xff\xfe", 0},
      {{"argv", "it's", "", "a b", "\"q\""}, "it's\n\na b\n\"q\"\n", "", 0},
      {{"nosuch"}, "", "unknown command: nosuch", 127},
  };
  for (const auto& c : cases) {
    auto r = run_ok(*vm_, c.argv);
    EXPECT_EQ(r.stdout_data, c.out) << c.argv[0];
    EXPECT_EQ(r.stderr_data, c.err) << c.argv[0];
    EXPECT_EQ(r.exit_code, c.code) << c.argv[0];
    EXPECT_FALSE(r.timed_out);
  }
  EXPECT_EQ(vm_->last_command().substr(0, 5), "EXEC:");
}

TEST_F(KvmCommands, ExecFrameCarriesEnvCwdAndTimeout) {
  GuestCommandOptions o;
  o.env = {{"GREETING", "hello \"world\"\n"}};
  o.cwd = "/sandbox/work";
  o.timeout = core::Duration{1, 500'000'000};
  EXPECT_EQ(run_ok(*vm_, {"env", "GREETING"}, o).stdout_data, "hello \"world\"\n");
  EXPECT_EQ(run_ok(*vm_, {"request"}, o).stdout_data, "cwd=/sandbox/work timeout=2") << "1.5 s rounds up to 2";
  EXPECT_EQ(run_ok(*vm_, {"request"}).stdout_data, "cwd=- timeout=30") << "the sandbox default timeout";
  EXPECT_EQ(run_ok(*vm_, {"env", "MISSING"}).exit_code, 1);
}

TEST_F(KvmCommands, LargeOutputAndGuestMemoryState) {
  auto r = run_ok(*vm_, {"large", "50000"});
  ASSERT_EQ(r.stdout_data.size(), 50000u);
  for (std::size_t i = 0; i < r.stdout_data.size(); i += 4099) ASSERT_EQ(r.stdout_data[i], 'a' + (i % 4096) % 26);
  const auto first = std::stoi(run_ok(*vm_, {"counter"}).stdout_data);
  EXPECT_EQ(std::stoi(run_ok(*vm_, {"counter"}).stdout_data), first + 1);
}

TEST_F(KvmCommands, GuestSeesTheInitrdWhereTheLoaderPutItAndTheCommandLine) {
  auto r = run_ok(*vm_, {"initrd"});
  char expected[128];
  std::snprintf(expected, sizeof expected, "addr=%#llx size=%zu cmdline=", static_cast<unsigned long long>(vm_->initrd_addr()),
                vm_->initrd_bytes()->size());
  EXPECT_EQ(r.stdout_data, std::string(expected) + std::string(kKernelCommandLine));
}

TEST(KvmRunLoop, PortAndMmioEmulationWithIoHistory) {
  REQUIRE_KVM();
  // Without the in-kernel PIT, port 0x61 reaches user space too.
  KvmBuildOptions no_irqchip;
  no_irqchip.in_kernel_irqchip = false;
  auto vm = make_backend({}, test_guest_config(), no_irqchip);
  ASSERT_TRUE(vm);
  auto r = run_ok(*vm, {"ports"});
  EXPECT_EQ(r.stdout_data, "p61=0x20 p64=0x0 pcfc=0xffffffff p70=0x0 mmio=0x0 ");
  EXPECT_EQ(vm->io_history().size(), 16u);
  EXPECT_EQ(vm->io_history().back(), "serial out port=0x3f8 size=1") << "the newline ending the EXIT line";
  ASSERT_TRUE(vm->last_io());
  EXPECT_EQ(*vm->last_io(), vm->io_history().back());

  EXPECT_EQ(run_error(*vm, {"ports", "halt"}), "KVM backend error: guest exited unexpectedly before returning EXIT frame: Hlt");
  const std::vector<std::string> h(vm->io_history().begin(), vm->io_history().end());
  const std::vector<std::string> port_lines = {"pio in port=0x61 size=1", "pio in port=0x64 size=1",
                                               "pio in port=0xcfc size=4", "pio in port=0x70 size=1",
                                               "mmio write addr=0x3ff00000 size=8", "mmio read addr=0x3ff00000 size=8"};
  ASSERT_GE(h.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(h.end() - 6, h.end()), port_lines) << "the six accesses, last and in order";
  EXPECT_EQ(vm->last_exit(), KvmExitReason::Hlt);

  vm = make_backend({}, test_guest_config(), no_irqchip);
  ASSERT_TRUE(vm);
  run_ok(*vm, {"pio", "20"});
  const std::vector<std::string> after(vm->io_history().begin(), vm->io_history().end());
  EXPECT_EQ(after.size(), 16u) << "the oldest lines are dropped";
  // "EXIT:0\n" takes 7 serial exits (one per byte here), so 9 of the 20 port writes remain.
  EXPECT_EQ(std::count(after.begin(), after.end(), "pio out port=0x80 size=1"), 9);
  EXPECT_EQ(vm->last_exit(), KvmExitReason::Io);

  vm->clear_pool_artifacts();
  EXPECT_TRUE(vm->io_history().empty());
  EXPECT_TRUE(vm->console_output().empty());
  EXPECT_TRUE(vm->last_command().empty());
  EXPECT_FALSE(vm->last_io());
  EXPECT_FALSE(vm->last_exit());
  EXPECT_TRUE(vm->guest_ready()) << "clearing artifacts leaves the guest ready";
  EXPECT_EQ(run_ok(*vm, {"true"}).exit_code, 0);
}

TEST_F(KvmCommands, MalformedAndUnexpectedGuestFrames) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"raw", "FSRESULT:0\n"}, "KVM backend error: unexpected FSRESULT frame during command execution"},
      {{"raw", "STREAM:START:0\n"}, "KVM backend error: STREAM frame received before streaming command execution path is enabled"},
      {{"raw", "PONG\n"}, "KVM backend error: unexpected PONG frame during command execution"},
      {{"raw", "EXIT:abc\n"}, "KVM backend error: guest EXIT frame is not a valid integer: abc: invalid digit found in string"},
      {{"raw", "OUTPUT:\\q\n"}, "KVM backend error: guest OUTPUT 帧包含未知转义: \\q"},
      {{"raw", "STREAM:BOGUS\n"}, "KVM backend error: unknown guest STREAM frame type"},
  };
  for (const auto& [argv, message] : cases) {
    EXPECT_EQ(run_error(*vm_, argv), message);
    EXPECT_EQ(vm_->state(), BackendState::Ready) << "a parse error ends the command, not the VM";
  }
  auto t = run_ok(*vm_, {"raw", "OUTPUT:partial\nEXIT:TIMEOUT\n"});
  EXPECT_TRUE(t.timed_out);
  EXPECT_EQ(t.stdout_data, "partial");
  EXPECT_FALSE(t.exit_code);
  EXPECT_EQ(run_ok(*vm_, {"echo", "still", "alive"}).stdout_data, "still alive\n");
}

TEST_F(KvmCommands, PingAndItsFailures) {
  auto rtt = vm_->ping_with_timeout(core::Duration::from_secs(5));
  ASSERT_TRUE(rtt) << rtt.error().to_string();
  EXPECT_GT(*rtt, core::Duration{});
  EXPECT_EQ(vm_->ping_with_timeout(core::Duration{}).error().to_string(), "invalid microVM config: ping timeout must not be zero");
  run_ok(*vm_, {"pingreply", "OUTPUT:old agent\nEXIT:0\n"});
  auto old = vm_->ping_with_timeout(core::Duration::from_secs(5));
  ASSERT_FALSE(old);
  EXPECT_EQ(old.error().to_string(), "KVM backend error: guest does not support PING readiness probe: exit_code=Some(0), stdout=old agent");
  run_ok(*vm_, {"pingreply", "STREAM:START:0\n"});
  EXPECT_EQ(vm_->ping_with_timeout(core::Duration::from_secs(5)).error().to_string(),
            "KVM backend error: unexpected protocol frame during readiness probe");
  EXPECT_TRUE(vm_->ping_with_timeout(core::Duration::from_secs(5)));
}

TEST_F(KvmCommands, ArgumentChecks) {
  EXPECT_EQ(run_error(*vm_, {}), "invalid microVM config: command must not be empty");
  GuestCommandOptions zero;
  zero.timeout = core::Duration{};
  EXPECT_EQ(run_error(*vm_, {"true"}, zero), "invalid microVM config: per-command timeout must not be zero");
}

TEST(KvmCommandTimeouts, EffectiveTimeoutRounding) {
  const std::tuple<std::optional<std::uint64_t>, std::optional<core::Duration>, std::optional<std::uint64_t>> cases[] = {
      {30, std::nullopt, 30},
      {std::nullopt, std::nullopt, std::nullopt},
      {30, core::Duration::from_millis(250), 1},
      {30, core::Duration{2, 1'000'000}, 3},
      {30, core::Duration{1, 500'000}, 1},
      {30, core::Duration{1, 500'000'000}, 2},
      {30, core::Duration{0, 100'000}, 1},
      {30, core::Duration{~std::uint64_t{0}, 0}, ~std::uint64_t{0}},
  };
  for (const auto& [def, per, expected] : cases) {
    auto r = KvmBackend::effective_command_timeout_secs(def, per);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, expected);
  }
  auto over = KvmBackend::effective_command_timeout_secs(30, core::Duration{~std::uint64_t{0}, 1'000'000});
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().text(), "per-command timeout exceeds u64 range");
}

TEST(KvmCommandEnds, WatchdogTimeoutDestroysTheBackend) {
  REQUIRE_KVM();
  auto vm = make_backend();
  ASSERT_TRUE(vm);
  GuestCommandOptions o;
  o.timeout = core::Duration::from_millis(300);
  auto r = vm->run_command_with_options({"hang"}, o);
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_TRUE(r->timed_out);
  EXPECT_FALSE(r->exit_code);
  EXPECT_EQ(vm->state(), BackendState::Destroyed);
  EXPECT_FALSE(vm->guest_ready());
  EXPECT_EQ(run_error(*vm, {"true"}), "microVM lifecycle error: KVM backend is not in Ready state");
  EXPECT_EQ(vm->ping_with_timeout(core::Duration::from_secs(1)).error().to_string(),
            "microVM lifecycle error: KVM backend destroyed, cannot reuse guest state");
}

TEST(KvmCommandEnds, HaltInsideKvmIsEndedByTheWatchdog) {
  REQUIRE_KVM();
  auto vm = make_backend();
  ASSERT_TRUE(vm);
  GuestCommandOptions o;
  o.timeout = core::Duration::from_millis(200);
  auto r = vm->run_command_with_options({"halt"}, o);
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_TRUE(r->timed_out) << "with the in-kernel irqchip KVM_RUN blocks on HLT";
}

TEST(KvmCommandEnds, GuestExitsReportedByName) {
  REQUIRE_KVM();
  KvmBuildOptions no_irqchip;
  no_irqchip.in_kernel_irqchip = false;
  const std::pair<std::string, std::string> cases[] = {
      {"reset", "KVM backend error: guest exited unexpectedly before returning EXIT frame: Shutdown"},
      {"halt", "KVM backend error: guest exited unexpectedly before returning EXIT frame: Hlt"},
  };
  for (const auto& [cmd, message] : cases) {
    auto vm = make_backend({}, test_guest_config(), no_irqchip);
    ASSERT_TRUE(vm);
    EXPECT_EQ(run_error(*vm, {cmd}), message);
    EXPECT_EQ(vm->state(), BackendState::Ready);
  }
}

}  // namespace
}  // namespace quorrel::vm

namespace quorrel::vm {
namespace {

using testing_support::make_backend;

// Guest HTTP requests answered through the proxy's policy; nothing leaves
// the machine: admission refuses these before any connection.
TEST(KvmGuestHttp, RequestsAreAnsweredWithReplyFrames) {
  REQUIRE_KVM();
  core::SandboxConfig sc;
  sc.allowed_http_domains = {"example.com"};
  auto vm = make_backend(sc);
  ASSERT_TRUE(vm);
  vm->set_http_exchange_for_testing(
      [](const std::string&, std::uint16_t) -> std::expected<std::vector<http_proxy::IpAddress>, std::string> {
        return std::unexpected(std::string("no such host"));
      },
      {});
  const std::pair<std::string, std::string> cases[] = {
      {"https://127.0.0.1/", "ERROR DENIED_HOST domain not in whitelist: 127.0.0.1\n"},
      {"http://example.com/", "ERROR INVALID_URL invalid URL: only HTTPS is allowed, got http\n"},
      {"https://other.org/", "ERROR DENIED_HOST domain not in whitelist: other.org\n"},
      {"https://example.com/x", "ERROR CONNECT_FAIL HTTP connection failed: DNS resolution failed: no such host\n"},
  };
  for (const auto& [url, reply] : cases) {
    auto r = vm->run_command_with_options({"http", url}, {});
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(r->stdout_data, reply) << url;
    EXPECT_EQ(r->exit_code, 0);
  }
  auto rx = vm->run_command_streaming_with_options({"http", "https://127.0.0.1/"}, {});
  ASSERT_TRUE(rx) << rx.error().to_string();
  std::vector<GuestStreamEvent> events;
  while (auto e = rx->recv()) events.push_back(*e);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), GuestStreamEvent::exit(0));
  std::string out;
  for (std::size_t i = 0; i + 1 < events.size(); ++i) out += events[i].data;
  EXPECT_EQ(out, "ERROR DENIED_HOST domain not in whitelist: 127.0.0.1\n") << "served inside the streaming loop too";

  auto bad = vm->run_command_with_options({"raw", "HTTP:REQUEST:1:2:{}\n"}, {});
  ASSERT_FALSE(bad);
  EXPECT_TRUE(bad.error().to_string().starts_with("invalid URL: invalid HTTP request JSON: ")) << bad.error().to_string();
}

TEST(KvmGuestHttp, HostRequestsNeedReady) {
  REQUIRE_KVM();
  auto vm = make_backend();
  ASSERT_TRUE(vm);
  auto req = http_proxy::HttpRequest::create("GET", "https://example.com/", {}, std::nullopt);
  ASSERT_TRUE(req);
  auto denied = vm->http_request(*req);
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error().to_string(), "domain not in whitelist: example.com") << "an empty whitelist refuses every host";
  EXPECT_EQ(denied.error().to_sandbox_error().text(), "domain not in whitelist: example.com");
  vm->destroy();
  EXPECT_EQ(vm->http_request(*req).error().to_string(), "microVM lifecycle error: KVM backend is not in Ready state");
}

}  // namespace
}  // namespace quorrel::vm

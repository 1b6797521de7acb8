#include <gtest/gtest.h>

#include "test_guest_fixture.h"

namespace quorrel::vm {
namespace {

using testing_support::make_backend;
using Ev = GuestStreamEvent;

std::vector<GuestStreamEvent> drain(GuestEventChannel::Receiver rx) {
  std::vector<GuestStreamEvent> out;
  while (auto e = rx.recv()) out.push_back(std::move(*e));
  return out;
}

class KvmStreaming : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (testing_support::have_kvm()) vm_ = make_backend().release();
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
  std::vector<GuestStreamEvent> stream(std::vector<std::string> argv) {
    auto rx = vm_->run_command_streaming_with_options(argv, {});
    EXPECT_TRUE(rx) << (rx ? "" : rx.error().to_string());
    return rx ? drain(std::move(*rx)) : std::vector<GuestStreamEvent>{};
  }
  std::string stream_error(std::vector<std::string> argv) {
    auto rx = vm_->run_command_streaming_with_options(argv, {});
    return rx ? "<no error>" : rx.error().to_string();
  }
  static KvmBackend* vm_;
};
KvmBackend* KvmStreaming::vm_ = nullptr;

TEST_F(KvmStreaming, EventsInGuestOrder) {
  EXPECT_EQ(stream({"echo", "hi"}), (std::vector<Ev>{Ev::out("hi\n"), Ev::exit(0)}));
  EXPECT_EQ(stream({"stderr", "warn"}), (std::vector<Ev>{Ev::err("warn"), Ev::exit(0)}));
  EXPECT_EQ(stream({"exit", "-9"}), (std::vector<Ev>{Ev::exit(-9)}));
  EXPECT_EQ(vm_->last_command(), "EXECS:0:11:'exit' '-9'\n");
  std::string all_bytes(256, '\0');
  for (int i = 0; i < 256; ++i) all_bytes[i] = static_cast<char>(i);
  EXPECT_EQ(stream({"binary"}), (std::vector<Ev>{Ev::out(all_bytes), Ev::err("\xff\xfe"), Ev::exit(0)}))
      << "stream payloads arrive byte for byte, carriage return included";
  auto big = stream({"large", "10000"});
  ASSERT_EQ(big.size(), 4u) << "4 KiB per STREAM:STDOUT frame, then the end";
  EXPECT_EQ(big[2].data.size(), 10000u - 8192u);
  EXPECT_EQ(stream({"raw", "STREAM:START:0\nSTREAM:START:0\nSTREAM:STDERR:0:2:ab\nSTREAM:TIMEOUT:0\n"}),
            (std::vector<Ev>{Ev::err("ab"), Ev::timed_out()}))
      << "a repeated START is accepted";
  EXPECT_EQ(stream({"raw", "OUTPUT:done\nEXIT:4\n"}), (std::vector<Ev>{Ev::out("done"), Ev::exit(4)}));
}

TEST_F(KvmStreaming, IdAndOrderErrors) {
  const std::pair<std::string, std::string> cases[] = {
      {"STREAM:STDOUT:0:1:x\n", "missing STREAM:START before STREAM:STDOUT"},
      {"STREAM:STDERR:0:1:x\n", "missing STREAM:START before STREAM:STDERR"},
      {"STREAM:END:0:0\n", "missing STREAM:START before STREAM:END"},
      {"STREAM:TIMEOUT:0\n", "missing STREAM:START before STREAM:TIMEOUT"},
      {"STREAM:START:1\n", "unexpected STREAM:START id, expected 0, got 1"},
      {"STREAM:START:0\nSTREAM:STDOUT:3:1:x\n", "unexpected STREAM:STDOUT id, expected 0, got 3"},
      {"STREAM:START:0\nSTREAM:STDERR:4:1:x\n", "unexpected STREAM:STDERR id, expected 0, got 4"},
      {"STREAM:START:0\nSTREAM:END:2:0\n", "unexpected STREAM:END id, expected 0, got 2"},
      {"STREAM:START:0\nSTREAM:TIMEOUT:5\n", "unexpected STREAM:TIMEOUT id, expected 0, got 5"},
      {"PONG\n", "unexpected PONG frame during streaming execution"},
      // The parser refuses FSRESULT under a command collector before the loop sees it.
      {"FSRESULT:0\n", "unexpected FSRESULT frame during command execution"},
  };
  for (const auto& [frames, message] : cases) {
    EXPECT_EQ(stream_error({"raw", frames}), "KVM backend error: " + message);
    EXPECT_EQ(vm_->state(), BackendState::Ready);
  }
  EXPECT_EQ(stream_error({}), "invalid microVM config: command must not be empty");
}

TEST_F(KvmStreaming, FallsBackToExecForAnAgentWithoutStreaming) {
  ASSERT_TRUE(vm_->run_command_with_options({"nostream", "1"}, {}));
  GuestCommandOptions o;
  o.env = {{"K", "v"}};
  auto rx = vm_->run_command_streaming_with_options({"env", "K"}, o);
  ASSERT_TRUE(rx) << rx.error().to_string();
  EXPECT_EQ(drain(std::move(*rx)), (std::vector<Ev>{Ev::out("v"), Ev::exit(0)}));
  EXPECT_TRUE(vm_->last_command().starts_with("EXEC:")) << vm_->last_command();
  EXPECT_TRUE(vm_->serial().input().empty());
  ASSERT_TRUE(vm_->run_command_with_options({"nostream", "0"}, {}));
}

TEST(KvmStreamingTimeout, WatchdogSendsTimedOutAndDestroys) {
  REQUIRE_KVM();
  auto vm = make_backend();
  ASSERT_TRUE(vm);
  GuestCommandOptions o;
  o.timeout = core::Duration::from_millis(100);  // rounds up to 1 s
  auto rx = vm->run_command_streaming_with_options({"hang"}, o);
  ASSERT_TRUE(rx) << rx.error().to_string();
  EXPECT_EQ(drain(std::move(*rx)), (std::vector<Ev>{Ev::timed_out()}));
  EXPECT_EQ(vm->state(), BackendState::Destroyed);
  EXPECT_EQ(vm->run_command_streaming_with_options({"true"}, {}).error().to_string(),
            "microVM lifecycle error: KVM backend is not in Ready state");
}

TEST(EmitCommandResult, EventsForEachShape) {
  const std::pair<GuestCommandResult, std::vector<Ev>> cases[] = {
      {{"o", "e", 3, false}, {Ev::out("o"), Ev::err("e"), Ev::exit(3)}},
      {{"", "", 0, false}, {Ev::exit(0)}},
      {{"p", "", std::nullopt, true}, {Ev::out("p"), Ev::timed_out()}},
      {{"", "", std::nullopt, false}, {}},
  };
  for (const auto& [result, events] : cases) {
    auto [tx, rx] = GuestEventChannel::create(0);
    emit_command_result_as_stream(tx, result);
    tx.close();
    EXPECT_EQ(drain(std::move(rx)), events);
  }
}

}  // namespace
}  // namespace quorrel::vm

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sdk/sandbox.h"
#include "stream_event_printer.h"

namespace quorrel::sdk {
namespace {

namespace fs = std::filesystem;
using E = StreamEvent;

Sandbox make(IsolationLevel level, std::optional<core::Duration> timeout = core::Duration::from_secs(30)) {
  auto sb = Sandbox::create(Config::builder().isolation(level).timeout(timeout).build());
  EXPECT_TRUE(sb.has_value());
  return std::move(*sb);
}

std::vector<StreamEvent> drain(StreamReceiver& rx) {
  std::vector<StreamEvent> out;
  while (auto e = rx.receive()) out.push_back(std::move(*e));
  return out;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(SdkSandbox, WasmIsAcceptedThenRefusedByEveryOperation) {
  Sandbox sb = make(IsolationLevel::Wasm);
  EXPECT_EQ(sb.backend_kind(), std::nullopt);
  const SdkError wasm = SdkError::backend_unavailable("wasm");
  EXPECT_EQ(sb.execute("echo hi").error(), wasm);
  EXPECT_EQ(sb.execute_with_sdk_options("echo hi", {}).error(), wasm);
  EXPECT_EQ(sb.stream_execute("echo hi").error(), wasm);
  EXPECT_EQ(sb.wait_ready(core::Duration::from_secs(1)).error(), wasm);
  EXPECT_EQ(sb.write_file("/tmp/never-written-by-quorrel", "x").error(), wasm);
  EXPECT_FALSE(fs::exists("/tmp/never-written-by-quorrel"));
  EXPECT_EQ(sb.ensure_backend().error().to_string(), "wasm");
  EXPECT_EQ(sb.inner(), nullptr);
  EXPECT_TRUE(Sandbox::destroy(std::move(sb)).has_value());
}

TEST(SdkSandbox, ParsingComesFirstWithoutOptionsAndAfterTheBackendWithThem) {
  Sandbox sb = make(IsolationLevel::Wasm);
  const SdkError quotes = SdkError::config("command parsing failed: mismatched shell-style quotes");
  EXPECT_EQ(sb.execute("echo 'x").error(), quotes);
  EXPECT_EQ(sb.stream_execute("echo 'x").error(), quotes);
  EXPECT_EQ(sb.execute_with_sdk_options("echo 'x", {}).error(), SdkError::backend_unavailable("wasm"));
}

TEST(SdkSandbox, CreateInnerRefusals) {
  Sandbox sb = make(IsolationLevel::Os);
  EXPECT_EQ(sb.create_inner(IsolationLevel::Wasm).error(), SdkError::backend_unavailable("wasm"));
  EXPECT_EQ(sb.create_inner(IsolationLevel::Auto).error(), SdkError::backend_unavailable("auto"));
  const auto vm = sb.create_inner(IsolationLevel::MicroVm);
  ASSERT_FALSE(vm.has_value());
  EXPECT_EQ(vm.error().code(), ErrorCode::UnsupportedPlatform);
  EXPECT_EQ(vm.error().to_string(),
            "microVM backend not available in this build. Suggestion: set isolation to `Os` or use default Auto");
  EXPECT_TRUE(sb.create_inner(IsolationLevel::Os).has_value());
}

TEST(SdkSandbox, MicroVmLevelFailsAtTheFirstOperationNotAtCreation) {
  auto sb = Sandbox::create(Config::builder().isolation(IsolationLevel::MicroVm).build());
  ASSERT_TRUE(sb.has_value());
  EXPECT_EQ(sb->execute("echo hi").error(), microvm_unavailable_error());
  EXPECT_EQ(sb->backend_kind(), std::nullopt);
  auto by_preference = Sandbox::create(Config::builder().auto_preference(2).build());
  ASSERT_TRUE(by_preference.has_value());
  EXPECT_EQ(by_preference->wait_ready(core::Duration::from_secs(1)).error(), microvm_unavailable_error());
}

TEST(SdkSandbox, OsExecuteSplitsWithoutAShell) {
  for (IsolationLevel level : {IsolationLevel::Os, IsolationLevel::Auto}) {
    Sandbox sb = make(level);
    auto r = sb.execute("echo hi $HOME 'a  b' && x");
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    EXPECT_EQ(r->stdout_data, "hi $HOME a  b && x\n");
    EXPECT_EQ(r->exit_code, 0);
    EXPECT_FALSE(r->timed_out);
    EXPECT_GT(r->elapsed, core::Duration{});
    EXPECT_EQ(sb.backend_kind(), IsolationLevel::Os);
    ASSERT_NE(sb.inner(), nullptr);
    EXPECT_TRUE(is_os_backend(*sb.inner()));
  }
}

TEST(SdkSandbox, OsExecuteReportsExitCodesAndBackendRefusals) {
  Sandbox sb = make(IsolationLevel::Os);
  auto failed = sb.execute("sh -c 'echo oops >&2; exit 3'");
  ASSERT_TRUE(failed.has_value()) << failed.error().to_string();
  EXPECT_EQ(failed->exit_code, 3);
  EXPECT_EQ(failed->stderr_data, "oops\n");
  auto empty = sb.execute("   ");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().code(), ErrorCode::CommandFailed);
  EXPECT_EQ(empty.error().to_string(), "command must not be empty");
}

TEST(SdkSandbox, OsOptionsCwdGoesThroughTheShell) {
  Sandbox sb = make(IsolationLevel::Os);
  ExecuteOptions with_cwd;
  with_cwd.cwd = "/tmp";
  auto expanded = sb.execute_with_sdk_options("echo $HOME", with_cwd);
  ASSERT_TRUE(expanded.has_value()) << expanded.error().to_string();
  EXPECT_EQ(expanded->stdout_data, "/tmp\n");
  auto literal = sb.execute_with_sdk_options("echo $HOME", {});
  ASSERT_TRUE(literal.has_value()) << literal.error().to_string();
  EXPECT_EQ(literal->stdout_data, "$HOME\n");

  with_cwd.cwd = "/";
  auto in_root = sb.execute_with_sdk_options("pwd", with_cwd);
  ASSERT_TRUE(in_root.has_value()) << in_root.error().to_string();
  EXPECT_EQ(in_root->stdout_data, "/\n");
}

TEST(SdkSandbox, OsOptionsEnvironment) {
  Sandbox sb = make(IsolationLevel::Os);
  ExecuteOptions options;
  options.env = {{"A", "1 2"}, {"B", "it's $x"}};
  auto plain = sb.execute_with_sdk_options("printenv A B", options);
  ASSERT_TRUE(plain.has_value()) << plain.error().to_string();
  EXPECT_EQ(plain->stdout_data, "1 2\nit's $x\n");
  options.cwd = "/tmp";
  auto shell = sb.execute_with_sdk_options("printenv A B", options);
  ASSERT_TRUE(shell.has_value()) << shell.error().to_string();
  EXPECT_EQ(shell->stdout_data, "1 2\nit's $x\n");

  options.env = {{"A=B", "1"}};
  EXPECT_EQ(sb.execute_with_sdk_options("true", options).error(),
            SdkError::config("invalid environment variable name: `A=B`"));
  options.env = {{"X", std::string("a\0b", 3)}};
  EXPECT_EQ(sb.execute_with_sdk_options("true", options).error(),
            SdkError::config("environment variable `X` contains NUL byte"));
}

TEST(SdkSandbox, OsHonoursThePerCommandTimeout) {
  Sandbox sb = make(IsolationLevel::Os);
  ExecuteOptions options;
  options.timeout = core::Duration::from_millis(300);
  const auto start = std::chrono::steady_clock::now();
  auto r = sb.execute_with_sdk_options("sleep 10", options);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_TRUE(r->timed_out);
  EXPECT_LT(took, std::chrono::seconds(5));

  options.timeout = core::Duration::from_secs(20);
  auto quick = sb.execute_with_sdk_options("true", options);
  ASSERT_TRUE(quick.has_value()) << quick.error().to_string();
  EXPECT_FALSE(quick->timed_out);
  EXPECT_EQ(quick->exit_code, 0);
}

TEST(SdkSandbox, OsStreamEvents) {
  Sandbox sb = make(IsolationLevel::Os);
  struct Case {
    std::string command;
    std::vector<StreamEvent> events;
  };
  const std::vector<Case> cases = {
      {"true", {E{E::Exit{0}}}},
      {"echo hi", {E{E::Stdout{"hi\n"}}, E{E::Exit{0}}}},
      {"sh -c 'echo out; echo err >&2; exit 2'", {E{E::Stdout{"out\n"}}, E{E::Stderr{"err\n"}}, E{E::Exit{2}}}},
  };
  for (const auto& c : cases) {
    auto rx = sb.stream_execute(c.command);
    ASSERT_TRUE(rx.has_value()) << c.command << ": " << rx.error().to_string();
    EXPECT_EQ(drain(*rx), c.events) << c.command;
  }
  auto empty = sb.stream_execute("");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error(), SdkError::coded(ErrorCode::CommandFailed, "command must not be empty"));
}

TEST(SdkSandbox, OsTimedOutStreamEndsWithTimedOutAndNoExit) {
  Sandbox sb = make(IsolationLevel::Os, core::Duration::from_secs(1));
  // The OS level discards the output of a timed-out command.
  auto rx = sb.stream_execute("sh -c 'echo before; exec sleep 10'");
  ASSERT_TRUE(rx.has_value()) << rx.error().to_string();
  EXPECT_EQ(drain(*rx), std::vector<StreamEvent>{E{E::TimedOut{}}});
}

class SdkSandboxFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quorrel-sdk-write-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(SdkSandboxFiles, OsWriteFileChecksThePathAndWritesTheHostFile) {
  Sandbox sb = make(IsolationLevel::Os);
  const auto traversal = SdkError::coded(ErrorCode::InvalidConfig, "path must not contain '..' path traversal");
  EXPECT_EQ(sb.write_file("../x", "data").error(), traversal);
  EXPECT_EQ(sb.write_file("a..b", "data").error(), traversal);
  EXPECT_EQ(sb.write_file("", "data").error(), SdkError::coded(ErrorCode::InvalidConfig, "path must not be empty"));

  const fs::path target = dir_ / "x";
  const std::string bytes("bin\0ary\xff", 8);
  ASSERT_TRUE(sb.write_file(target.string(), bytes).has_value());
  EXPECT_EQ(read_file(target), bytes);
  ASSERT_TRUE(sb.write_file(target.string(), "short").has_value());
  EXPECT_EQ(read_file(target), "short");
  ASSERT_TRUE(sb.write_file(target.string(), "").has_value());
  EXPECT_EQ(fs::file_size(target), 0u);

  auto missing_dir = sb.write_file((dir_ / "no" / "such").string(), "x");
  ASSERT_FALSE(missing_dir.has_value());
  ASSERT_EQ(missing_dir.error().kind(), SdkError::Kind::Io);
  EXPECT_EQ(missing_dir.error().io_error()->kind(), core::IoErrorKind::NotFound);

  auto on_dir = sb.write_file(dir_.string(), "x");
  ASSERT_FALSE(on_dir.has_value());
  EXPECT_EQ(on_dir.error().kind(), SdkError::Kind::Io);

  auto with_nul = sb.write_file((dir_ / "a").string() + std::string("\0b", 2), "x");
  ASSERT_FALSE(with_nul.has_value());
  EXPECT_EQ(with_nul.error().io_error()->kind(), core::IoErrorKind::InvalidInput);
  EXPECT_FALSE(fs::exists(dir_ / "a"));
}

TEST(SdkSandbox, OsWaitReadyAndDestroy) {
  Sandbox sb = make(IsolationLevel::Os);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(sb.wait_ready(core::Duration::from_secs(60)).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(sb.backend_kind(), IsolationLevel::Os);
  EXPECT_TRUE(Sandbox::destroy(std::move(sb)).has_value());
  EXPECT_EQ(sb.inner(), nullptr);  // NOLINT(bugprone-use-after-move): moved-from has no back end
}

TEST(SdkSandbox, TakeInnerLeavesNoBackendAndTheNextOperationCreatesOne) {
  Sandbox sb = make(IsolationLevel::Os);
  ASSERT_TRUE(sb.ensure_backend().has_value());
  auto inner = sb.take_inner();
  ASSERT_TRUE(inner.has_value());
  EXPECT_EQ(sb.backend_kind(), std::nullopt);
  EXPECT_TRUE(Sandbox::destroy_backend_inner(std::move(*inner)).has_value());
  auto r = sb.execute("true");
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_EQ(sb.backend_kind(), IsolationLevel::Os);
}

}  // namespace
}  // namespace quorrel::sdk

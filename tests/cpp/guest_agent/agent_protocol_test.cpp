// The agent's frames over its stdin/stdout transport: commands, streaming,
// file transfer, and what it does with broken or unexpected input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "agent_process.h"

namespace quorrel::agent::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(agent.read_until("READY\n"), "READY\n"); }

  ExecReply exec(const std::string& json, std::chrono::milliseconds timeout = 10s) {
    agent.send(exec_frame(json));
    const auto raw = agent.read_until("EXIT:", timeout);
    EXPECT_TRUE(raw.has_value()) << "no EXIT line for " << json;
    bool ok = false;
    ExecReply reply = parse_exec_reply(raw.value_or(""), &ok);
    EXPECT_TRUE(ok) << "malformed reply: " << reply.raw;
    return reply;
  }

  void expect_alive() { EXPECT_EQ(agent.read_for(0ms) + ping(), "PONG\n"); }
  std::string ping() {
    agent.send("PING\n");
    return agent.read_until("PONG\n").value_or("<no PONG>");
  }

  AgentProcess agent;
};

TEST_F(AgentTest, AnswersPingWithPong) {
  EXPECT_EQ(ping(), "PONG\n");
  EXPECT_EQ(ping(), "PONG\n");
}

struct ExecCase {
  const char* name;
  std::string json;
  std::string stdout_data;
  std::string stderr_data;
  std::string exit;
};

TEST_F(AgentTest, ExecReportsOutputAndExitCode) {
  const std::string dir = agent.dir().string();
  const ExecCase cases[] = {
      {"echo", exec_json("echo hi"), "hi\n", "", "0"},
      {"exit code", exec_json("exit 42"), "", "", "42"},
      {"stderr", exec_json("echo oops >&2; exit 1"), "", "oops\n", "1"},
      {"killed by signal", exec_json("kill -9 $$"), "", "", "137"},
      {"control bytes", exec_json("printf 'a\\tb\\\\c\\rd\\001'"), "a\tb\\c\rd\x01", "", "0"},
      {"non-UTF-8", exec_json("printf 'x\\377y\\300\\n'"), "x\xffy\xc0\n", "", "0"},
      {"UTF-8 split across writes", exec_json("printf 'h\\303'; sleep 0.2; printf '\\251!'"), "h\xc3\xa9!", "", "0"},
      {"env added", nlohmann::json{{"cmd", "echo \"$A|$B\""}, {"env", {{"A", "1 2"}, {"B", "x'y"}}}}.dump(),
       "1 2|x'y\n", "", "0"},
      {"env overrides", nlohmann::json{{"cmd", "echo $PATH"}, {"env", {{"PATH", "/nowhere"}}}}.dump(), "/nowhere\n",
       "", "0"},
      {"cwd", nlohmann::json{{"cmd", "pwd"}, {"cwd", "/tmp"}}.dump(), "/tmp\n", "", "0"},
      {"default cwd", exec_json("pwd"), dir + "\n", "", "0"},
      {"missing cwd", nlohmann::json{{"cmd", "pwd"}, {"cwd", "/no/such/dir"}}.dump(), "",
       "quorrel-agent: cannot change directory to /no/such/dir: No such file or directory\n", "1"},
      {"null keys are absent", R"({"cmd":"echo ok","env":null,"timeout":null,"cwd":null})", "ok\n", "", "0"},
      {"quoted words", exec_json("'echo' 'it'\"'\"'s' ''"), "it's \n", "", "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ExecReply reply = exec(c.json);
    EXPECT_EQ(reply.stdout_data, c.stdout_data);
    EXPECT_EQ(reply.stderr_data, c.stderr_data);
    EXPECT_EQ(reply.exit, c.exit);
  }
}

TEST_F(AgentTest, ExecSendsValidUtf8RawAndOtherBytesAsHex) {
  const ExecReply reply = exec(exec_json("printf 'h\\303\\251 \\377'"));
  EXPECT_THAT(reply.raw, StartsWith("OUTPUT:1:h\xc3\xa9 \\xff\n"));
  // A character split between two writes is held back, not hex-escaped.
  const ExecReply split = exec(exec_json("printf 'h\\303'; sleep 0.2; printf '\\251!'"));
  EXPECT_EQ(split.raw, "OUTPUT:1:h\nOUTPUT:1:\xc3\xa9!\nEXIT:0\n");
}

TEST_F(AgentTest, LargeOutputArrivesComplete) {
  const ExecReply reply = exec(exec_json("head -c 3000000 /dev/zero | tr '\\0' 'a'; echo"));
  EXPECT_EQ(reply.stdout_data, std::string(3000000, 'a') + "\n");
  EXPECT_EQ(reply.exit, "0");
}

TEST_F(AgentTest, TimeoutKillsTheWholeProcessGroup) {
  const std::string pidfile = (agent.dir() / "bg.pid").string();
  const auto start = std::chrono::steady_clock::now();
  const ExecReply reply = exec(
      nlohmann::json{{"cmd", "sleep 60 & echo $! > " + pidfile + "; echo started; wait"}, {"timeout", 1}}.dump());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(reply.exit, "TIMEOUT");
  EXPECT_EQ(reply.stdout_data, "started\n");
  EXPECT_LT(took, 5s);
  int background = 0;
  std::ifstream(pidfile) >> background;
  ASSERT_GT(background, 0);
  // Killed means gone or a zombie waiting for whoever adopted it.
  auto alive = [&] {
    std::ifstream stat("/proc/" + std::to_string(background) + "/stat");
    std::string pid, comm, state;
    return static_cast<bool>(stat >> pid >> comm >> state) && state != "Z";
  };
  for (int i = 0; i < 50 && alive(); ++i) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_FALSE(alive()) << "background process of the timed-out command survived";
}

TEST_F(AgentTest, CommandEndsWithTheShellEvenIfBackgroundHoldsOutput) {
  const auto start = std::chrono::steady_clock::now();
  const ExecReply reply = exec(exec_json("sleep 30 & echo done"));
  EXPECT_EQ(reply.stdout_data, "done\n");
  EXPECT_EQ(reply.exit, "0");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(AgentTest, NewFrameDuringACommandAbandonsIt) {
  agent.send(exec_frame(exec_json("echo begun; sleep 30; echo never")));
  ASSERT_TRUE(agent.read_until("OUTPUT:1:begun\\n\n").has_value());
  // The host only sends HTTP answers while a command runs; anything else
  // means it gave up on the command.
  EXPECT_EQ(ping(), "PONG\n");
  EXPECT_EQ(agent.read_for(300ms), "");
}

TEST_F(AgentTest, StreamingCommandSendsFramesAsOutputArrives) {
  agent.send(execs_frame("echo one; sleep 0.3; echo two >&2; sleep 0.1; printf 'a\\r\\nb'; exit 3"));
  // The first chunk arrives while the command is still sleeping.
  const auto first = agent.read_until("STREAM:STDOUT:0:4:one\n", 250ms);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, "STREAM:START:0\nSTREAM:STDOUT:0:4:one\n");
  const auto rest = agent.read_until("STREAM:END:", 5s);
  ASSERT_TRUE(rest.has_value());
  // Payloads are raw: the carriage return is sent as it was written.
  EXPECT_EQ(*rest, "\nSTREAM:STDERR:0:4:two\n\nSTREAM:STDOUT:0:4:a\r\nb\nSTREAM:END:0:3\n");
}

TEST_F(AgentTest, StreamingCommandEchoesItsId) {
  const std::string cmd = "echo x";
  agent.send("EXECS:7:" + std::to_string(cmd.size()) + ":" + cmd + "\n");
  EXPECT_EQ(agent.read_until("STREAM:END:"), "STREAM:START:7\nSTREAM:STDOUT:7:2:x\n\nSTREAM:END:7:0\n");
}

TEST_F(AgentTest, FileWriteThenReadRoundTripsBinaryData) {
  std::string data;
  for (int i = 0; i < 1 << 20; ++i) {
    data += static_cast<char>((i * 7) & 0xFF);
  }
  data += "\nFSRESULT:0\n";
  const std::string path = (agent.dir() / "blob.bin").string();
  agent.send(fs_write_frame(path, data));
  EXPECT_EQ(agent.read_until("FSRESULT:"), "FSRESULT:0\n");
  agent.send(fs_read_frame(path));
  const std::string head = "FSRESULT:0:" + std::to_string(data.size()) + ":";
  const auto reply = agent.read_until_suffix(head + data + "\n");
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->size(), head.size() + data.size() + 1);
}

TEST_F(AgentTest, FileWriteTakesTenMiBAndRefusesMore) {
  const std::string path = (agent.dir() / "big.bin").string();
  agent.send(fs_write_frame(path, std::string(10485760, 'z')));
  EXPECT_EQ(agent.read_until("FSRESULT:", 30s), "FSRESULT:0\n");
  EXPECT_EQ(std::filesystem::file_size(path), 10485760u);
  // One byte more: the payload is skipped and the write refused.
  agent.send(fs_write_frame(path + ".2", std::string(10485761, 'z')));
  EXPECT_EQ(agent.read_until("FSRESULT:", 30s), "FSRESULT:2\n");
  EXPECT_FALSE(std::filesystem::exists(path + ".2"));
  expect_alive();
}

TEST_F(AgentTest, FileOperationsReportStatusCodes) {
  const std::string dir = agent.dir().string();
  const struct {
    const char* name;
    std::string frame;
    std::string reply;
  } cases[] = {
      {"read missing", fs_read_frame(dir + "/missing"), "FSRESULT:1\n"},
      {"read below a file", fs_read_frame(dir + "/bin/quorrel-http/x"), "FSRESULT:1\n"},
      {"read a directory", fs_read_frame(dir), "FSRESULT:2\n"},
      {"write into missing directory", fs_write_frame(dir + "/no/such/file", "x"), "FSRESULT:1\n"},
      {"write over a directory", fs_write_frame(dir + "/bin", "x"), "FSRESULT:2\n"},
      {"write empty file", fs_write_frame(dir + "/empty", ""), "FSRESULT:0\n"},
      {"read empty file", fs_read_frame(dir + "/empty"), "FSRESULT:0:0:\n"},
      {"write text with CR", fs_write_frame(dir + "/cr.txt", "a\rb\r"), "FSRESULT:0\n"},
      {"read text with CR", fs_read_frame(dir + "/cr.txt"), "FSRESULT:0:4:a\rb\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    agent.send(c.frame);
    EXPECT_EQ(agent.read_until("FSRESULT:"), c.reply);
  }
}

TEST_F(AgentTest, BrokenFramesGetAnAnswerAndLeaveTheAgentInStep) {
  const struct {
    const char* name;
    std::string input;
    std::string reply;
  } cases[] = {
      {"unknown line", "HELLO\n", "OUTPUT:unsupported command prefix\nEXIT:2\n"},
      {"unknown prefix", "EXIT:0\n", "OUTPUT:unsupported command prefix\nEXIT:2\n"},
      {"head too long", std::string(100, 'A') + "\n", "OUTPUT:unsupported command prefix\nEXIT:2\n"},
      {"EXEC length not a number", "EXEC:abc\n", "OUTPUT:invalid command frame\nEXIT:2\n"},
      {"EXEC length overflows", "EXEC:999999999999999999999:x\n", "OUTPUT:invalid command frame\nEXIT:2\n"},
      {"EXEC payload not ended by newline", "EXEC:3:{}xx\n", "OUTPUT:invalid command frame\nEXIT:2\n"},
      {"EXECS id not a number", "EXECS:x:4:true\n", "OUTPUT:invalid EXECS id\nEXIT:2\n"},
      {"EXECS id above u32", "EXECS:4294967296:4:true\n", "OUTPUT:invalid EXECS id\nEXIT:2\n"},
      {"EXECS length missing", "EXECS:0:\n", "OUTPUT:invalid EXECS frame\nEXIT:2\n"},
      {"FS unknown operation", "FS:DELETE:3:abc\n", "FSRESULT:2\n"},
      {"FS path length bad", "FS:READ:-1:x\n", "FSRESULT:2\n"},
      {"FS:WRITE data length bad", "FS:WRITE:2:/x\nzz:data\n", "FSRESULT:2\n"},
      {"FS:READ path too long", fs_read_frame("/" + std::string(5000, 'p')), "FSRESULT:2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    agent.send(c.input);
    // Wait for the whole answer rather than for a fixed time: the second
    // line can come late on a loaded machine.
    const auto reply = agent.read_until_suffix(c.reply, 10s);
    EXPECT_EQ(reply ? *reply : agent.read_for(0ms), c.reply);
    expect_alive();
  }
}

TEST_F(AgentTest, BadExecJsonIsExplainedOnStderr) {
  const struct {
    const char* name;
    std::string json;
    std::string detail;
  } cases[] = {
      {"not JSON", "{cmd}", "invalid EXEC JSON: "},
      {"not an object", "[1]", "expected an object"},
      {"no cmd", R"({"env":{}})", "\"cmd\" must be a string"},
      {"env value not a string", R"({"cmd":"true","env":{"A":1}})", "env value of A must be a string"},
      {"negative timeout", R"({"cmd":"true","timeout":-1})", "\"timeout\" must be an unsigned integer"},
      {"cwd not a string", R"({"cmd":"true","cwd":5})", "\"cwd\" must be a string"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ExecReply reply = exec(c.json);
    EXPECT_EQ(reply.stdout_data, "invalid command frame");
    EXPECT_THAT(reply.stderr_data, HasSubstr(c.detail));
    EXPECT_EQ(reply.exit, "2");
  }
  expect_alive();
}

}  // namespace
}  // namespace quorrel::agent::testing

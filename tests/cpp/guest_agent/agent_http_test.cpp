// Guest programs asking the host for HTTPS: `quorrel-http` and the
// `quorrel_http` Python module, through the agent's socket, with the test
// playing the host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "agent_process.h"
#include "http_bridge.h"

namespace quorrel::agent::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

struct HttpRequestSeen {
  std::uint32_t id = 0;
  nlohmann::json json;
};

class AgentHttpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(agent.read_until("READY\n"), "READY\n"); }

  // Waits for the agent's HTTP:REQUEST frame.
  HttpRequestSeen expect_request() {
    HttpRequestSeen seen;
    const auto head = agent.read_until("HTTP:REQUEST:", 10s);
    if (!head) {
      ADD_FAILURE() << "no HTTP:REQUEST frame; agent sent: " << agent.read_for(100ms);
      seen.json = nlohmann::json::object();
      return seen;
    }
    // The frame's JSON may hold no newline, so the line is the frame.
    const std::size_t at = head->find("HTTP:REQUEST:");
    earlier_ += head->substr(0, at);  // output of the command before the frame
    const std::string frame = head->substr(at);
    const std::size_t id_end = frame.find(':', 13);
    const std::size_t len_end = frame.find(':', id_end + 1);
    seen.id = static_cast<std::uint32_t>(std::stoul(frame.substr(13, id_end - 13)));
    const std::size_t len = std::stoul(frame.substr(id_end + 1, len_end - id_end - 1));
    EXPECT_EQ(frame.size(), len_end + 1 + len + 1) << frame;
    seen.json = nlohmann::json::parse(frame.substr(len_end + 1, len));
    return seen;
  }

  void answer(std::uint32_t id, const std::string& headers_json, const std::vector<std::string>& chunks) {
    const std::string sid = std::to_string(id);
    std::string out = "HTTPRESP:HEADERS:" + sid + ":" + std::to_string(headers_json.size()) + ":" + headers_json + "\n";
    for (const auto& c : chunks) {
      out += "HTTPRESP:BODY:" + sid + ":" + std::to_string(c.size()) + ":" + c + "\n";
    }
    out += "HTTPRESP:END:" + sid + "\n";
    agent.send(out);
  }

  void answer_error(std::uint32_t id, const std::string& code, const std::string& message) {
    agent.send("HTTPRESP:ERROR:" + std::to_string(id) + ":" + code + ":" + std::to_string(message.size()) + ":" +
               message + "\n");
  }

  ExecReply finish() {
    const auto raw = agent.read_until("EXIT:", 10s);
    bool ok = false;
    ExecReply reply = parse_exec_reply(std::exchange(earlier_, {}) + raw.value_or(""), &ok);
    EXPECT_TRUE(ok) << reply.raw;
    return reply;
  }

  AgentProcess agent;
  std::string earlier_;
};

TEST_F(AgentHttpTest, CommandRequestIsRelayedAndAnswered) {
  agent.send(exec_frame(exec_json(
      "quorrel-http -i -X PUT -H 'X-Token: abc' -d 'hello' --timeout-ms 5000 --max-bytes 99 https://api.example.com/v1")));
  const HttpRequestSeen req = expect_request();
  EXPECT_EQ(req.json["method"], "PUT");
  EXPECT_EQ(req.json["url"], "https://api.example.com/v1");
  EXPECT_EQ(req.json["headers"], nlohmann::json({{"X-Token", "abc"}}));
  EXPECT_EQ(req.json["body_b64"], "aGVsbG8=");
  EXPECT_EQ(req.json["timeout_ms"], 5000);
  EXPECT_EQ(req.json["max_response_bytes"], 99);
  answer(req.id, R"({"body_len":11,"headers":{"content-type":"text/plain"},"status":201,"truncated":false})",
         {"hello ", "world"});
  const ExecReply reply = finish();
  EXPECT_EQ(reply.stdout_data, "HTTP 201\ncontent-type: text/plain\n\nhello world");
  EXPECT_EQ(reply.exit, "0");
}

TEST_F(AgentHttpTest, ProxyErrorReachesTheCommand) {
  agent.send(exec_frame(exec_json("quorrel-http https://blocked.example/")));
  const HttpRequestSeen req = expect_request();
  EXPECT_EQ(req.json["method"], "GET");
  EXPECT_FALSE(req.json.contains("body_b64"));
  answer_error(req.id, "DENIED_HOST", "domain not in whitelist: blocked.example");
  const ExecReply reply = finish();
  EXPECT_EQ(reply.stderr_data, "quorrel-http: DENIED_HOST: domain not in whitelist: blocked.example\n");
  EXPECT_EQ(reply.exit, "1");
}

TEST_F(AgentHttpTest, PythonModuleMakesRequestsAndRaisesErrors) {
  const std::string script =
      "import quorrel_http\n"
      "r = quorrel_http.post('https://api.example.com/p', body=b'\\x00\\xff', headers={'a': 'b'})\n"
      "print(r.status, r.headers['x'], r.json())\n"
      "try:\n"
      "    quorrel_http.get('https://api.example.com/slow', timeout_ms=0)\n"
      "except quorrel_http.HttpError as e:\n"
      "    print(e.code, e.message)\n";
  agent.send(exec_frame(nlohmann::json{{"cmd", "/usr/bin/python3 -c \"$S\""}, {"env", {{"S", script}}}}.dump()));
  const HttpRequestSeen first = expect_request();
  EXPECT_EQ(first.json["method"], "POST");
  EXPECT_EQ(first.json["body_b64"], "AP8=");
  EXPECT_EQ(first.json["headers"], nlohmann::json({{"a", "b"}}));
  answer(first.id, R"({"body_len":9,"headers":{"x":"y"},"status":200,"truncated":false})", {"{\"k\": [1", "]}"});
  const HttpRequestSeen second = expect_request();
  EXPECT_EQ(second.json["timeout_ms"], 0);
  EXPECT_NE(second.id, first.id);
  answer_error(second.id, "TIMEOUT", "HTTP request timed out");
  const ExecReply reply = finish();
  EXPECT_EQ(reply.stdout_data, "200 y {'k': [1]}\nTIMEOUT HTTP request timed out\n");
  EXPECT_EQ(reply.stderr_data, "");
  EXPECT_EQ(reply.exit, "0");
}

TEST_F(AgentHttpTest, BadRequestsAreAnsweredByTheAgentWithoutBotheringTheHost) {
  // A raw client on the agent's socket, one request per case.
  const std::string client =
      "import socket,sys\n"
      "s=socket.socket(socket.AF_UNIX)\n"
      "s.connect(sys.argv[1])\n"
      "s.sendall(open(sys.argv[2],'rb').read())\n"
      "s.shutdown(socket.SHUT_WR)\n"
      "sys.stdout.write(s.makefile('rb').read().decode())\n";
  const struct {
    const char* name;
    std::string request;
    std::string answer_prefix;
  } cases[] = {
      {"not JSON", "nope", "ERROR:INVALID_URL:"},
      {"url missing", R"({"method":"GET"})", "ERROR:INVALID_URL:"},
      {"headers null", R"({"method":"GET","url":"https://a.example","headers":null})", "ERROR:INVALID_URL:"},
      {"bad base64", R"({"method":"GET","url":"https://a.example","body_b64":"abc"})", "ERROR:INVALID_URL:"},
      {"body above 1 MiB", R"({"method":"POST","url":"https://a.example","body_b64":")" + std::string(1398104, 'A') +
                               "\"}",
       "ERROR:BODY_TOO_LARGE:28:HTTP body exceeds size limit\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string request_file = (agent.dir() / "request.json").string();
    std::ofstream(request_file, std::ios::binary | std::ios::trunc) << c.request;
    agent.send(exec_frame(nlohmann::json{
        {"cmd", "/usr/bin/python3 -c \"$C\" \"$QUORREL_HTTP_SOCKET\" " + request_file},
        {"env", {{"C", client}}}}.dump()));
    const ExecReply reply = finish();
    EXPECT_THAT(reply.stdout_data, ::testing::StartsWith(c.answer_prefix));
    EXPECT_THAT(reply.raw, ::testing::Not(HasSubstr("HTTP:REQUEST:")));
    EXPECT_EQ(reply.exit, "0");
  }
}

TEST(CheckBase64, AcceptsOnlyCanonicalStandardBase64) {
  EXPECT_EQ(check_base64(""), 0u);
  EXPECT_EQ(check_base64("aGVsbG8="), 5u);
  EXPECT_EQ(check_base64("AP8="), 2u);
  EXPECT_EQ(check_base64("AA=="), 1u);
  EXPECT_FALSE(check_base64("abc").has_value());       // length
  EXPECT_FALSE(check_base64("AB==").has_value());      // unused bits set
  EXPECT_FALSE(check_base64("A-8=").has_value());      // URL alphabet
  EXPECT_FALSE(check_base64("A=8=").has_value());      // padding inside
}

}  // namespace
}  // namespace quorrel::agent::testing

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vm/kvm/devices/serial/frame_encoders.h"
#include "vm/kvm/devices/serial/serial_device.h"
#include "vm/kvm/devices/serial/serial_protocol.h"

namespace quorrel::vm {
namespace {

enum class Collect { None, Command, Fs };

struct Feed {
  SerialWriteOutcome outcome = std::nullopt;
  std::string console;
  bool ready = false;
  FrameBuffer buffer;
  std::optional<ResponseCollector> collector;
};

ResponseCollector* collector_ptr(Feed& f) { return f.collector ? &*f.collector : nullptr; }

// Feeds `bytes` through the UART data port, either in one write or one byte
// per write, stopping at the first result or error.
Feed feed(std::string_view bytes, Collect c, bool byte_at_a_time) {
  Feed f;
  if (c == Collect::Command) f.collector = CommandCollector{};
  if (c == Collect::Fs) f.collector = AwaitFsResult{};
  SerialDevice uart;
  auto write = [&](std::string_view chunk) {
    std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());
    return handle_serial_write(uart, f.console, f.ready, 0x3F8, data, f.buffer, collector_ptr(f));
  };
  if (!byte_at_a_time) {
    f.outcome = write(bytes);
    return f;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    f.outcome = write(bytes.substr(i, 1));
    if (!f.outcome || f.outcome->has_value()) return f;
  }
  return f;
}

std::string error_text(const Feed& f) {
  if (f.outcome) return "<no error>";
  return f.outcome.error().to_string();
}

http_proxy::HttpRequest get_request(std::string url) {
  http_proxy::HttpRequest r;
  r.method = "GET";
  r.url = std::move(url);
  return r;
}

struct FrameCase {
  const char* name;
  std::string bytes;
  Collect collect;
  SerialProtocolResult expected;
};

class FrameGrammar : public testing::TestWithParam<FrameCase> {};

TEST_P(FrameGrammar, ParsesInOneWriteAndByteAtATime) {
  const auto& c = GetParam();
  for (bool bytewise : {false, true}) {
    Feed f = feed(c.bytes, c.collect, bytewise);
    ASSERT_TRUE(f.outcome.has_value()) << error_text(f);
    ASSERT_TRUE(f.outcome->has_value()) << "incomplete, bytewise=" << bytewise;
    EXPECT_EQ(**f.outcome, c.expected) << debug_string(**f.outcome);
    EXPECT_TRUE(f.buffer.bytes.empty()) << "frame and its newline are consumed";
    EXPECT_EQ(f.console, c.bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FrameGrammar,
    testing::Values(
        FrameCase{"fs_short", "FSRESULT:3\n", Collect::Fs, frame::Fs{{3, ""}}},
        FrameCase{"fs_payload_with_newline", "FSRESULT:0:5:ab\ncd\n", Collect::Fs, frame::Fs{{0, "ab\ncd"}}},
        // Counted payloads are raw: carriage returns inside them are data.
        FrameCase{"fs_payload_keeps_cr", "FSRESULT:0:6:ab\r\ncd\n", Collect::Fs, frame::Fs{{0, "ab\r\ncd"}}},
        FrameCase{"fs_payload_only_cr", "FSRESULT:0:3:\r\r\r\n", Collect::Fs, frame::Fs{{0, "\r\r\r"}}},
        // Outside payloads carriage returns are dropped: in the header and
        // before the newline that ends the frame.
        FrameCase{"fs_cr_before_final_newline", "FSRESULT:0:5:ab\ncd\r\n", Collect::Fs, frame::Fs{{0, "ab\ncd"}}},
        FrameCase{"fs_cr_in_header", "FS\rRESULT:0\r:2\r:\r\n\r\r\n", Collect::Fs, frame::Fs{{0, "\r\n"}}},
        FrameCase{"fs_short_crlf", "FSRESULT:2\r\n", Collect::Fs, frame::Fs{{2, ""}}},
        FrameCase{"fs_empty_payload_crlf", "FSRESULT:0:0:\r\n", Collect::Fs, frame::Fs{{0, ""}}},
        FrameCase{"fs_status_255", "FSRESULT:255:0:\n", Collect::Fs, frame::Fs{{255, ""}}},
        FrameCase{"http_request", "HTTP:REQUEST:7:37:{\"method\":\"GET\",\"url\":\"https://a.b/\"}\n",
                  Collect::Command, frame::HttpRequest{{7, get_request("https://a.b/")}}},
        FrameCase{"http_request_crlf_json", "HTTP:REQUEST:7:39:{\"method\":\"GET\",\r\n\"url\":\"https://a.b/\"}\r\n",
                  Collect::Command, frame::HttpRequest{{7, get_request("https://a.b/")}}},
        FrameCase{"stream_start", "STREAM:START:0\n", Collect::Command, frame::StreamStart{0}},
        FrameCase{"stream_start_crlf", "STREAM:START:0\r\n", Collect::Command, frame::StreamStart{0}},
        FrameCase{"stream_stdout_progress_cr", "STREAM:STDOUT:0:9:50%\r100%\n\r\n", Collect::Command,
                  frame::StreamStdout{0, "50%\r100%\n"}},
        FrameCase{"stream_stderr_crlf", "STREAM:\rSTDERR:3:\r2:\r\n\n", Collect::Command,
                  frame::StreamStderr{3, "\r\n"}},
        FrameCase{"stream_stdout", "STREAM:STDOUT:0:4:a\nb\xff\n", Collect::Command,
                  frame::StreamStdout{0, "a\nb\xff"}},
        FrameCase{"stream_stderr_empty", "STREAM:STDERR:4294967295:0:\n", Collect::Command,
                  frame::StreamStderr{4294967295u, ""}},
        FrameCase{"stream_end", "STREAM:END:0:17\n", Collect::Command, frame::StreamEnd{0, 17}},
        FrameCase{"stream_end_crlf", "STREAM:END:0:\r17\r\n", Collect::Command, frame::StreamEnd{0, 17}},
        FrameCase{"stream_end_negative", "STREAM:END:1:-2147483647\n", Collect::Command,
                  frame::StreamEnd{1, -2147483647}},
        FrameCase{"stream_timeout", "STREAM:TIMEOUT:0\n", Collect::Command, frame::StreamTimeout{0}},
        FrameCase{"pong_any_collector", "PONG\n", Collect::Fs, frame::PingPong{}},
        FrameCase{"exit_code", "OUTPUT:hi\nEXIT:+3\n", Collect::Command,
                  frame::Command{{"hi", "", 3, false}}},
        FrameCase{"lines_drop_cr", "OUT\rPUT:h\ri\r\nEXIT:3\r\n", Collect::Command,
                  frame::Command{{"hi", "", 3, false}}},
        FrameCase{"exit_timeout", "OUTPUT:2:late\nEXIT:TIMEOUT\n", Collect::Command,
                  frame::Command{{"", "late", std::nullopt, true}}},
        FrameCase{"output_escapes", "OUTPUT:2:a\\x41\nOUTPUT:3:x\nOUTPUT:1:\\\\\\n\\r\\t\\xfF\nEXIT:-1\n",
                  Collect::Command, frame::Command{{"3:x\\\n\r\t\xff", "aA", -1, false}}},
        FrameCase{"frames_dropped_without_collector", "FSRESULT:0\nSTREAM:START:0\nPONG\n", Collect::None,
                  frame::PingPong{}},
        // After a payload frame, carriage returns are line noise again.
        FrameCase{"cr_dropped_again_after_payload", "FSRESULT:0:1:\r\r\nP\rONG\r\n", Collect::None,
                  frame::PingPong{}},
        FrameCase{"short_buffer_is_a_line", "STREA\nSTREAM:END:0:0\n", Collect::Command, frame::StreamEnd{0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ErrorCase {
  const char* name;
  std::string bytes;
  Collect collect;
  std::string message;
};

class FrameErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(FrameErrors, ReportsTheFixedText) {
  const auto& c = GetParam();
  for (bool bytewise : {false, true}) {
    Feed f = feed(c.bytes, c.collect, bytewise);
    ASSERT_FALSE(f.outcome.has_value()) << "bytewise=" << bytewise;
    EXPECT_EQ(f.outcome.error().kind(), MicrovmError::Kind::Backend);
    EXPECT_EQ(f.outcome.error().text(), c.message);
  }
}

const std::string kOver = "18446744073709551616";  // 2^64

INSTANTIATE_TEST_SUITE_P(
    Rows, FrameErrors,
    testing::Values(
        ErrorCase{"missing_numeric", "FSRESULT:x", Collect::Fs, "guest FSRESULT missing numeric field"},
        ErrorCase{"missing_numeric_stream", "STREAM:START::", Collect::Command, "guest FSRESULT missing numeric field"},
        ErrorCase{"numeric_overflow", "FSRESULT:" + kOver, Collect::Fs, "guest FSRESULT numeric field overflow"},
        ErrorCase{"numeric_overflow_http", "HTTP:REQUEST:1:" + kOver, Collect::Command,
                  "guest FSRESULT numeric field overflow"},
        ErrorCase{"status_range", "FSRESULT:256\n", Collect::Fs, "guest FSRESULT status code exceeds u8 range: 256"},
        ErrorCase{"status_separator", "FSRESULT:1;", Collect::Fs, "guest FSRESULT 状态字段后缺少分隔符: ;"},
        ErrorCase{"fs_data_len_limit", "FSRESULT:0:10485761:", Collect::Fs,
                  "guest FSRESULT data_len exceeds limit: data_len=10485761, max=10485760"},
        ErrorCase{"fs_data_len_colon", "FSRESULT:0:2x", Collect::Fs, "guest FSRESULT 数据长度字段后缺少冒号: x"},
        ErrorCase{"fs_no_newline", "FSRESULT:0:2:abc", Collect::Fs, "guest FSRESULT frame does not end with newline"},
        ErrorCase{"fs_cr_counts_toward_length", "FSRESULT:0:5:ab\r\ncd\n", Collect::Fs,
                  "guest FSRESULT frame does not end with newline"},
        ErrorCase{"fs_cr_then_other_byte_after_payload", "FSRESULT:0:2:ab\r\rc", Collect::Fs,
                  "guest FSRESULT frame does not end with newline"},
        ErrorCase{"stream_cr_counts_toward_length", "STREAM:STDOUT:0:2:a\r\rb\n", Collect::Command,
                  "guest STREAM frame does not end with newline"},
        ErrorCase{"http_cr_counts_toward_length", "HTTP:REQUEST:1:2:{\r}\n", Collect::Command,
                  "guest HTTP:REQUEST frame does not end with newline"},
        ErrorCase{"http_id_range", "HTTP:REQUEST:4294967296:", Collect::Command,
                  "guest HTTP:REQUEST id exceeds u32 range: 4294967296"},
        ErrorCase{"http_id_colon", "HTTP:REQUEST:1\n", Collect::Command, "guest HTTP:REQUEST id 字段后缺少冒号: \n"},
        ErrorCase{"http_json_len_limit", "HTTP:REQUEST:1:16777217:", Collect::Command,
                  "guest HTTP:REQUEST json_len exceeds limit: json_len=16777217, max=16777216"},
        ErrorCase{"http_len_colon", "HTTP:REQUEST:1:2;", Collect::Command, "guest HTTP:REQUEST 长度字段后缺少冒号: ;"},
        ErrorCase{"http_no_newline", "HTTP:REQUEST:1:2:{}}", Collect::Command,
                  "guest HTTP:REQUEST frame does not end with newline"},
        ErrorCase{"http_not_utf8", "HTTP:REQUEST:1:3:{\xff}\n", Collect::Command,
                  "guest HTTP:REQUEST JSON is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 1"},
        ErrorCase{"http_truncated_utf8", "HTTP:REQUEST:1:2:{\xe4\n", Collect::Command,
                  "guest HTTP:REQUEST JSON is not valid UTF-8: incomplete utf-8 byte sequence from index 1"},
        ErrorCase{"start_id_range", "STREAM:START:4294967296\n", Collect::Command,
                  "guest STREAM:START id exceeds u32 range: 4294967296"},
        ErrorCase{"start_newline", "STREAM:START:0:", Collect::Command, "guest STREAM:START id 字段后缺少换行: :"},
        ErrorCase{"data_id_range", "STREAM:STDOUT:4294967296:", Collect::Command,
                  "guest STREAM id exceeds u32 range: 4294967296"},
        ErrorCase{"data_id_colon", "STREAM:STDERR:0\n", Collect::Command, "guest STREAM id 字段后缺少冒号: \n"},
        ErrorCase{"data_len_limit", "STREAM:STDOUT:0:16777217:", Collect::Command,
                  "guest STREAM data_len exceeds limit: data_len=16777217, max=16777216"},
        ErrorCase{"data_len_colon", "STREAM:STDOUT:0:1\n", Collect::Command, "guest STREAM 数据长度字段后缺少冒号: \n"},
        ErrorCase{"data_no_newline", "STREAM:STDOUT:0:1:ab", Collect::Command, "guest STREAM frame does not end with newline"},
        ErrorCase{"end_id_range", "STREAM:END:4294967296:", Collect::Command,
                  "guest STREAM:END id exceeds u32 range: 4294967296"},
        ErrorCase{"end_id_colon", "STREAM:END:0\n", Collect::Command, "guest STREAM:END id 字段后缺少冒号: \n"},
        ErrorCase{"end_code_range", "STREAM:END:0:-2147483648\n", Collect::Command,
                  "guest STREAM numeric field exceeds i32 range: 2147483648"},
        ErrorCase{"end_code_newline", "STREAM:END:0:1:", Collect::Command, "guest STREAM:END 退出码字段后缺少换行: :"},
        ErrorCase{"end_code_plus", "STREAM:END:0:+1\n", Collect::Command, "guest FSRESULT missing numeric field"},
        ErrorCase{"timeout_id_range", "STREAM:TIMEOUT:4294967296\n", Collect::Command,
                  "guest STREAM:TIMEOUT id 超出 u32 范围: 4294967296"},
        ErrorCase{"timeout_newline", "STREAM:TIMEOUT:0 ", Collect::Command, "guest STREAM:TIMEOUT id 字段后缺少换行:  "},
        ErrorCase{"unknown_stream_short", "STREAM:X", Collect::Command, "unknown guest STREAM frame type"},
        ErrorCase{"unknown_stream_long", "STREAM:STDIN:0\n", Collect::Command, "unknown guest STREAM frame type"},
        ErrorCase{"escape_incomplete", "OUTPUT:ab\\\n", Collect::Command, "guest OUTPUT frame ends with incomplete escape"},
        ErrorCase{"escape_no_high", "OUTPUT:\\x\n", Collect::Command, "guest OUTPUT frame missing high hex digit"},
        ErrorCase{"escape_no_low", "OUTPUT:\\xZ\n", Collect::Command, "guest OUTPUT frame missing low hex digit"},
        ErrorCase{"escape_bad_hex", "OUTPUT:\\x4g\n", Collect::Command, "guest OUTPUT 帧包含非法十六进制字符: g"},
        ErrorCase{"escape_bad_hex_multibyte", "OUTPUT:\\x\xe4\xb8\xad\x31\n", Collect::Command,
                  "guest OUTPUT 帧包含非法十六进制字符: 中"},
        ErrorCase{"escape_unknown", "OUTPUT:\\q\n", Collect::Command, "guest OUTPUT 帧包含未知转义: \\q"},
        ErrorCase{"exit_empty", "EXIT:\n", Collect::Command,
                  "guest EXIT frame is not a valid integer: : cannot parse integer from empty string"},
        ErrorCase{"exit_sign_only", "EXIT:-\n", Collect::Command,
                  "guest EXIT frame is not a valid integer: -: invalid digit found in string"},
        ErrorCase{"exit_timeout_suffix", "EXIT:TIMEOUTX\n", Collect::Command,
                  "guest EXIT frame is not a valid integer: TIMEOUTX: invalid digit found in string"},
        ErrorCase{"exit_too_large", "EXIT:2147483648\n", Collect::Command,
                  "guest EXIT frame is not a valid integer: 2147483648: number too large to fit in target type"},
        ErrorCase{"exit_too_small", "EXIT:-2147483649\n", Collect::Command,
                  "guest EXIT frame is not a valid integer: -2147483649: number too small to fit in target type"},
        ErrorCase{"fs_wait_output_line", "OUTPUT:x\n", Collect::Fs, "unexpected serial line while waiting for FSRESULT: OUTPUT:x"},
        ErrorCase{"fs_wait_exit_line", "noise\nEXIT:0\n", Collect::Fs, "unexpected serial line while waiting for FSRESULT: EXIT:0"},
        ErrorCase{"fs_wait_stream", "STREAM:START:0\n", Collect::Fs,
                  "unexpected STREAM frame while waiting for FSRESULT: StreamStart(0)"},
        ErrorCase{"fs_during_command", "FSRESULT:0\n", Collect::Command, "unexpected FSRESULT frame during command execution"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameParser, HttpRequestJsonIsReadByTheProxyModel) {
  Feed f = feed("HTTP:REQUEST:1:2:{}\n", Collect::Command, false);
  ASSERT_FALSE(f.outcome);
  EXPECT_EQ(f.outcome.error().kind(), MicrovmError::Kind::HttpProxy);
  EXPECT_TRUE(f.outcome.error().to_string().starts_with("invalid URL: invalid HTTP request JSON: ")) << f.outcome.error().to_string();
  Feed dropped = feed("HTTP:REQUEST:1:37:{\"method\":\"GET\",\"url\":\"https://a.b/\"}\nPONG\n", Collect::None, false);
  ASSERT_TRUE(dropped.outcome && dropped.outcome->has_value());
  EXPECT_EQ(**dropped.outcome, SerialProtocolResult{frame::PingPong{}}) << "dropped without a collector";
}

TEST(FrameParser, IncompletePrefixesWaitForMoreBytes) {
  for (std::string bytes : {"STREAM:STD", "STREAM:", "FSRESULT:12", "FSRESULT:0:4:ab", "FSRESULT:0:4:a\r\r\r", "HTTP:REQUEST:1:5:{\r",
                            "STREAM:END:0:-", "OUTPUT:no newline yet", "STREAM:TIMEOUT:123"}) {
    for (bool bytewise : {false, true}) {
      Feed f = feed(bytes, Collect::Command, bytewise);
      ASSERT_TRUE(f.outcome.has_value()) << bytes << ": " << error_text(f);
      EXPECT_FALSE(f.outcome->has_value()) << bytes;
      EXPECT_EQ(f.buffer.bytes, bytes) << "nothing consumed";
    }
  }
}

TEST(FrameParser, ReadySetsFlagEvenDuringACommandAndWithoutCollector) {
  for (Collect c : {Collect::None, Collect::Command, Collect::Fs}) {
    Feed f = feed("boot noise\r\nREADY\r\n", c, false);
    ASSERT_TRUE(f.outcome.has_value());
    EXPECT_FALSE(f.outcome->has_value());
    EXPECT_TRUE(f.ready);
    EXPECT_EQ(f.console, "boot noise\r\nREADY\r\n") << "carriage returns are kept on the console";
    EXPECT_TRUE(f.buffer.bytes.empty());
  }
}

TEST(FrameParser, LinesAreDecodedLenientlyBeforeUnescaping) {
  Feed f = feed("OUTPUT:\xff\\xff\nEXIT:0\n", Collect::Command, false);
  ASSERT_TRUE(f.outcome.has_value() && f.outcome->has_value());
  const auto& r = std::get<frame::Command>(**f.outcome).result;
  EXPECT_EQ(r.stdout_data, "\xef\xbf\xbd\xff");
}

TEST(FrameParser, BytesAfterAResultInTheSameWriteAreDropped) {
  Feed f = feed("PONG\nREADY\n", Collect::Command, false);
  ASSERT_TRUE(f.outcome.has_value() && f.outcome->has_value());
  EXPECT_FALSE(f.ready);
  EXPECT_EQ(f.console, "PONG\n");
  EXPECT_TRUE(f.buffer.bytes.empty());
}

TEST(FrameParser, CommandCollectorKeepsOutputAcrossWritesAndIsEmptiedByTheResult) {
  Feed f;
  f.collector = CommandCollector{};
  SerialDevice uart;
  auto write = [&](std::string_view s) {
    return feed_serial_bytes(f.console, f.ready, s, f.buffer, collector_ptr(f));
  };
  ASSERT_FALSE(write("OUTPUT:1:par")->has_value());
  ASSERT_FALSE(write("t\nOUTPUT:2:e\n")->has_value());
  auto r = write("EXIT:9\n");
  ASSERT_TRUE(r && r->has_value());
  EXPECT_EQ(std::get<frame::Command>(**r).result, (GuestCommandResult{"part", "e", 9, false}));
  const auto& c = std::get<CommandCollector>(*f.collector);
  EXPECT_TRUE(c.stdout_data.empty() && c.stderr_data.empty());
}

TEST(FrameParser, BufferAboveThirtyTwoMebibytesIsDiscardedSilently) {
  Feed f;
  f.collector = CommandCollector{};
  std::string big(kFrameBufferLimit, 'a');
  auto r = feed_serial_bytes(f.console, f.ready, big, f.buffer, collector_ptr(f));
  ASSERT_TRUE(r && !r->has_value());
  EXPECT_EQ(f.buffer.bytes.size(), kFrameBufferLimit) << "exactly the limit is kept";
  r = feed_serial_bytes(f.console, f.ready, "a", f.buffer, collector_ptr(f));
  ASSERT_TRUE(r && !r->has_value());
  EXPECT_TRUE(f.buffer.bytes.empty()) << "one byte more drops the whole buffer";
  r = feed_serial_bytes(f.console, f.ready, "tail\nPONG\n", f.buffer, collector_ptr(f));
  ASSERT_TRUE(r && r->has_value());
  EXPECT_EQ(**r, SerialProtocolResult{frame::PingPong{}}) << "the discarded line's tail is an ignored line";
}

TEST(SerialDevice, RegisterReadsAndWrites) {
  SerialDevice uart;
  std::uint8_t b[3] = {};
  auto read1 = [&](std::uint16_t port) {
    uart.read(port, std::span(b, 1));
    return b[0];
  };
  EXPECT_EQ(read1(0x3FD), 0x60);
  EXPECT_EQ(read1(0x3FA), 0x01);
  EXPECT_EQ(read1(0x3F8), 0x00) << "empty queue reads zero";
  EXPECT_EQ(read1(0x3FB), 0x03);
  EXPECT_EQ(read1(0x3FC), 0x03);
  EXPECT_EQ(read1(0x3FE), 0xB0);
  uart.queue_input("xyz");
  EXPECT_EQ(read1(0x3FD), 0x61);
  EXPECT_EQ(read1(0x3FA), 0x04);
  uart.read(0x3F8, std::span(b, 3));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 3), "xyz") << "multi-byte read pops several bytes";
  EXPECT_EQ(read1(0x3FD), 0x60);

  EXPECT_TRUE(uart.write_register(0x3F8, 'a')) << "DLAB clear: transmit";
  EXPECT_FALSE(uart.write_register(0x3F9, 0x05));
  EXPECT_FALSE(uart.write_register(0x3FF, 0x77));
  EXPECT_FALSE(uart.write_register(0x3FB, 0x83));  // DLAB on
  EXPECT_FALSE(uart.write_register(0x3F8, 0x0C)) << "DLAB set: divisor latch";
  EXPECT_FALSE(uart.write_register(0x3F9, 0x01));
  EXPECT_EQ(read1(0x3F8), 0x0C);
  EXPECT_EQ(read1(0x3F9), 0x01);
  EXPECT_FALSE(uart.write_register(0x3FB, 0x03));
  EXPECT_EQ(read1(0x3F9), 0x05) << "IER";
  EXPECT_EQ(read1(0x3FF), 0x77);
  EXPECT_FALSE(uart.write_register(0x3FD, 0x00)) << "LSR writes are ignored";
  EXPECT_EQ(uart.registers(), (SerialDevice::Registers{0x05, 0x03, 0x03, 0xB0, 0x77, 0x0C, 0x01}));
}

TEST(SerialProtocol, RegisterWritesInsideAMultiByteWriteDoNotReachTheParser) {
  SerialDevice uart;
  std::string console;
  bool ready = false;
  FrameBuffer fb;
  const std::uint8_t scratch[] = {'P', 'O'};
  auto r = handle_serial_write(uart, console, ready, 0x3FF, scratch, fb, nullptr);
  ASSERT_TRUE(r && !r->has_value());
  EXPECT_TRUE(console.empty());
  EXPECT_EQ(uart.registers().scr, 'O') << "each byte applied in turn to the same port";
}

TEST(FrameEncoders, BuildGuestCommandQuotesEveryWord) {
  EXPECT_EQ(build_guest_command({"echo", "it's", ""}), "'echo' 'it'\"'\"'s' ''");
  EXPECT_EQ(build_guest_command({}), "");
}

TEST(FrameEncoders, CommandPayloadKeysAndFraming) {
  auto f = encode_command_payload({"echo", "a\"b"}, {{"K", "v\n"}}, 5, std::string("/tmp"));
  ASSERT_TRUE(f);
  const std::string json = R"({"cmd":"'echo' 'a\"b'","env":{"K":"v\n"},"timeout":5,"cwd":"/tmp"})";
  EXPECT_EQ(*f, "EXEC:" + std::to_string(json.size()) + ":" + json + "\n");
  auto plain = encode_command_payload({"true"}, {}, std::nullopt, std::nullopt);
  ASSERT_TRUE(plain);
  EXPECT_EQ(*plain, "EXEC:16:{\"cmd\":\"'true'\"}\n");
  auto zero = encode_command_payload({"true"}, {}, 0, std::nullopt);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().to_string(), "invalid microVM config: timeout_secs must not be zero");
  auto bad = encode_command_payload({"\xff"}, {}, std::nullopt, std::nullopt);
  ASSERT_FALSE(bad);
  EXPECT_TRUE(bad.error().text().starts_with("failed to serialize guest EXEC payload: ")) << bad.error().text();
}

TEST(FrameEncoders, OtherFrames) {
  EXPECT_EQ(encode_ping(), "PING\n");
  EXPECT_EQ(encode_stream_command(0, "'ls' '-l'"), "EXECS:0:9:'ls' '-l'\n");
  EXPECT_EQ(encode_fs_read("/a"), "FS:READ:2:/a\n");
  EXPECT_EQ(encode_fs_write("/a", "x\ny"), "FS:WRITE:2:/a\n3:x\ny\n");
  EXPECT_EQ(encode_http_headers(4, "{}"), "HTTPRESP:HEADERS:4:2:{}\n");
  EXPECT_EQ(encode_http_body(4, "abc"), "HTTPRESP:BODY:4:3:abc\n");
  EXPECT_EQ(encode_http_end(4), "HTTPRESP:END:4\n");
  EXPECT_EQ(encode_http_error(9, "BODY_TOO_LARGE", "HTTP body exceeds size limit"),
            "HTTPRESP:ERROR:9:BODY_TOO_LARGE:28:HTTP body exceeds size limit\n");
}

TEST(FrameEncoders, PreviewSerialOutput) {
  EXPECT_EQ(preview_serial_output(""), "<empty>");
  EXPECT_EQ(preview_serial_output("a\nb\xff"), "a\\nb\xef\xbf\xbd");
  std::string big(904, 'x');
  big += std::string(4096, 'y');
  EXPECT_EQ(preview_serial_output(big), "..." + std::string(4096, 'y'));
  EXPECT_EQ(preview_serial_output(std::string(4096, 'z')), std::string(4096, 'z'));
}

}  // namespace
}  // namespace quorrel::vm

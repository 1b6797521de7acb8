#include "vm/kvm/devices/serial/serial_protocol.h"

#include <charconv>
#include <cstring>

#include "core/utf8.h"
#include "vm/kvm/devices/serial/utf8_error.h"

namespace quorrel::vm {

namespace {

constexpr std::string_view kFsHead = "FSRESULT:";
constexpr std::string_view kHttpHead = "HTTP:REQUEST:";
constexpr std::string_view kStreamPrefix = "STREAM:";
constexpr std::string_view kStreamStartHead = "STREAM:START:";
constexpr std::string_view kStreamStdoutHead = "STREAM:STDOUT:";
constexpr std::string_view kStreamStderrHead = "STREAM:STDERR:";
constexpr std::string_view kStreamEndHead = "STREAM:END:";
constexpr std::string_view kStreamTimeoutHead = "STREAM:TIMEOUT:";
constexpr std::string_view kStreamHeads[] = {kStreamStartHead, kStreamStdoutHead, kStreamStderrHead, kStreamEndHead,
                                             kStreamTimeoutHead};

constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;
constexpr std::uint64_t kI32Max = 2147483647u;
constexpr std::size_t kResumeOnNewline = std::numeric_limits<std::size_t>::max();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The offending byte of a frame as a character (bytes above 0x7F as the
// code point of the same value).
std::string render_byte(char c) {
  const auto b = static_cast<unsigned char>(c);
  if (b < 0x80) return std::string(1, c);
  std::string s;
  s.push_back(static_cast<char>(0xC0 | (b >> 6)));
  s.push_back(static_cast<char>(0x80 | (b & 0x3F)));
  return s;
}

// One frame or line recognised at the start of the buffer.
struct Parsed {
  enum class Kind { Incomplete, Line, Frame, Error } kind = Kind::Incomplete;
  std::size_t resume_at = 0;    // Incomplete
  std::size_t payload_end = 0;  // Incomplete inside a counted payload
  std::string line;           // Line
  std::optional<SerialProtocolResult> frame;
  std::optional<MicrovmError> error;

  static Parsed incomplete(std::size_t resume_at) { return Parsed{Kind::Incomplete, resume_at, 0, {}, {}, {}}; }
  static Parsed inside_payload(std::size_t payload_end) {
    return Parsed{Kind::Incomplete, payload_end + 1, payload_end, {}, {}, {}};
  }
  static Parsed failure(std::string text) {
    return Parsed{Kind::Error, 0, 0, {}, {}, MicrovmError::backend(std::move(text))};
  }
};

// Cursor over the buffer of one frame. Each step returns false when the frame
// cannot be finished (`outcome` then holds Incomplete or Error).
class FrameCursor {
 public:
  FrameCursor(std::string_view buf, std::size_t pos) : buf_(buf), pos_(pos) {}

  std::size_t pos() const { return pos_; }
  Parsed& outcome() { return outcome_; }

  bool number(std::uint64_t& out) {
    if (pos_ >= buf_.size()) return incomplete_next();
    if (!is_digit(buf_[pos_])) return fail("guest FSRESULT missing numeric field");
    std::uint64_t v = 0;
    while (pos_ < buf_.size() && is_digit(buf_[pos_])) {
      const auto digit = static_cast<std::uint64_t>(buf_[pos_] - '0');
      if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return fail("guest FSRESULT numeric field overflow");
      v = v * 10 + digit;
      ++pos_;
    }
    if (pos_ >= buf_.size()) return incomplete_next();  // the field may go on
    out = v;
    return true;
  }

  // The byte at the cursor, which must exist after a successful number().
  char peek() const { return buf_[pos_]; }

  bool expect(char wanted, std::string_view message_prefix) {
    if (pos_ >= buf_.size()) return incomplete_next();
    if (buf_[pos_] != wanted) return fail(std::string(message_prefix) + render_byte(buf_[pos_]));
    ++pos_;
    return true;
  }

  void skip() { ++pos_; }

  // `len` payload bytes followed by a newline.
  bool payload(std::uint64_t len, std::string_view overflow_message, std::string_view newline_message,
               std::string& out) {
    const std::size_t start = pos_;
    if (len > std::numeric_limits<std::size_t>::max() - start - 1) return fail(std::string(overflow_message));
    const std::size_t end = start + static_cast<std::size_t>(len);
    if (buf_.size() <= end) {
      outcome_ = Parsed::inside_payload(end);
      return false;
    }
    if (buf_[end] != '\n') return fail(std::string(newline_message));
    out.assign(buf_.substr(start, static_cast<std::size_t>(len)));
    pos_ = end + 1;
    return true;
  }

  bool fail(std::string text) {
    outcome_ = Parsed::failure(std::move(text));
    return false;
  }

 private:
  bool incomplete_next() {
    outcome_ = Parsed::incomplete(buf_.size() + 1);
    return false;
  }

  std::string_view buf_;
  std::size_t pos_;
  Parsed outcome_;
};

Parsed frame_item(SerialProtocolResult r, std::size_t consumed, FrameBuffer& fb) {
  fb.bytes.erase(0, consumed);
  Parsed p;
  p.kind = Parsed::Kind::Frame;
  p.frame = std::move(r);
  return p;
}

Parsed parse_fs_result(FrameBuffer& fb) {
  FrameCursor c(fb.bytes, kFsHead.size());
  std::uint64_t status = 0;
  if (!c.number(status)) return std::move(c.outcome());
  if (status > 255) return Parsed::failure("guest FSRESULT status code exceeds u8 range: " + std::to_string(status));
  const char sep = c.peek();
  if (sep == '\n') return frame_item(frame::Fs{{static_cast<std::uint8_t>(status), {}}}, c.pos() + 1, fb);
  if (sep != ':') return Parsed::failure("guest FSRESULT 状态字段后缺少分隔符: " + render_byte(sep));
  c.skip();
  std::uint64_t len = 0;
  if (!c.number(len)) return std::move(c.outcome());
  if (len > kFsDataLimit) {
    return Parsed::failure("guest FSRESULT data_len exceeds limit: data_len=" + std::to_string(len) +
                           ", max=" + std::to_string(kFsDataLimit));
  }
  if (!c.expect(':', "guest FSRESULT 数据长度字段后缺少冒号: ")) return std::move(c.outcome());
  std::string data;
  if (!c.payload(len, "guest FSRESULT data length overflow", "guest FSRESULT frame does not end with newline", data)) {
    return std::move(c.outcome());
  }
  return frame_item(frame::Fs{{static_cast<std::uint8_t>(status), std::move(data)}}, c.pos(), fb);
}

Parsed parse_http_request(FrameBuffer& fb) {
  FrameCursor c(fb.bytes, kHttpHead.size());
  std::uint64_t id = 0;
  if (!c.number(id)) return std::move(c.outcome());
  if (id > kU32Max) return Parsed::failure("guest HTTP:REQUEST id exceeds u32 range: " + std::to_string(id));
  if (!c.expect(':', "guest HTTP:REQUEST id 字段后缺少冒号: ")) return std::move(c.outcome());
  std::uint64_t len = 0;
  if (!c.number(len)) return std::move(c.outcome());
  if (len > kHttpJsonLimit) {
    return Parsed::failure("guest HTTP:REQUEST json_len exceeds limit: json_len=" + std::to_string(len) +
                           ", max=" + std::to_string(kHttpJsonLimit));
  }
  if (!c.expect(':', "guest HTTP:REQUEST 长度字段后缺少冒号: ")) return std::move(c.outcome());
  std::string json;
  if (!c.payload(len, "guest HTTP:REQUEST JSON length overflow", "guest HTTP:REQUEST frame does not end with newline",
                 json)) {
    return std::move(c.outcome());
  }
  if (auto bad = describe_utf8_error(json)) {
    return Parsed::failure("guest HTTP:REQUEST JSON is not valid UTF-8: " + *bad);
  }
  auto request = http_proxy::HttpRequest::from_json(json);
  if (!request) {
    Parsed p;
    p.kind = Parsed::Kind::Error;
    p.error = MicrovmError::http_proxy(std::move(request.error()));
    return p;
  }
  return frame_item(frame::HttpRequest{{static_cast<std::uint32_t>(id), std::move(*request)}}, c.pos(), fb);
}

// Reads "{id}" and checks it against u32 with the frame's own message.
bool stream_id(FrameCursor& c, std::string_view range_message, std::uint32_t& id) {
  std::uint64_t v = 0;
  if (!c.number(v)) return false;
  if (v > kU32Max) return c.fail(std::string(range_message) + std::to_string(v));
  id = static_cast<std::uint32_t>(v);
  return true;
}

Parsed parse_stream_data(FrameBuffer& fb, std::size_t head_len, bool is_stdout) {
  FrameCursor c(fb.bytes, head_len);
  std::uint32_t id = 0;
  if (!stream_id(c, "guest STREAM id exceeds u32 range: ", id)) return std::move(c.outcome());
  if (!c.expect(':', "guest STREAM id 字段后缺少冒号: ")) return std::move(c.outcome());
  std::uint64_t len = 0;
  if (!c.number(len)) return std::move(c.outcome());
  if (len > kStreamDataLimit) {
    return Parsed::failure("guest STREAM data_len exceeds limit: data_len=" + std::to_string(len) +
                           ", max=" + std::to_string(kStreamDataLimit));
  }
  if (!c.expect(':', "guest STREAM 数据长度字段后缺少冒号: ")) return std::move(c.outcome());
  std::string data;
  if (!c.payload(len, "guest STREAM data length overflow", "guest STREAM frame does not end with newline", data)) {
    return std::move(c.outcome());
  }
  if (is_stdout) return frame_item(frame::StreamStdout{id, std::move(data)}, c.pos(), fb);
  return frame_item(frame::StreamStderr{id, std::move(data)}, c.pos(), fb);
}

Parsed parse_stream_end(FrameBuffer& fb) {
  FrameCursor c(fb.bytes, kStreamEndHead.size());
  std::uint32_t id = 0;
  if (!stream_id(c, "guest STREAM:END id exceeds u32 range: ", id)) return std::move(c.outcome());
  if (!c.expect(':', "guest STREAM:END id 字段后缺少冒号: ")) return std::move(c.outcome());
  bool negative = false;
  if (c.pos() >= fb.bytes.size()) return Parsed::incomplete(fb.bytes.size() + 1);
  if (c.peek() == '-') {
    negative = true;
    c.skip();
  }
  std::uint64_t magnitude = 0;
  if (!c.number(magnitude)) return std::move(c.outcome());
  if (magnitude > kI32Max) {
    return Parsed::failure("guest STREAM numeric field exceeds i32 range: " + std::to_string(magnitude));
  }
  if (!c.expect('\n', "guest STREAM:END 退出码字段后缺少换行: ")) return std::move(c.outcome());
  const auto value = static_cast<std::int32_t>(magnitude);
  return frame_item(frame::StreamEnd{id, negative ? -value : value}, c.pos(), fb);
}

Parsed parse_stream_id_only(FrameBuffer& fb, std::size_t head_len, std::string_view range_message,
                            std::string_view newline_message, bool is_start) {
  FrameCursor c(fb.bytes, head_len);
  std::uint32_t id = 0;
  if (!stream_id(c, range_message, id)) return std::move(c.outcome());
  if (!c.expect('\n', newline_message)) return std::move(c.outcome());
  if (is_start) return frame_item(frame::StreamStart{id}, c.pos(), fb);
  return frame_item(frame::StreamTimeout{id}, c.pos(), fb);
}

Parsed stream_prefix_test(std::string_view buf) {
  for (auto head : kStreamHeads) {
    if (buf.size() < head.size() && head.starts_with(buf)) return Parsed::incomplete(buf.size() + 1);
  }
  return Parsed::failure("unknown guest STREAM frame type");
}

Parsed parse_stream(FrameBuffer& fb) {
  const std::string_view buf = fb.bytes;
  if (buf.starts_with(kStreamStartHead)) {
    return parse_stream_id_only(fb, kStreamStartHead.size(), "guest STREAM:START id exceeds u32 range: ",
                                "guest STREAM:START id 字段后缺少换行: ", true);
  }
  if (buf.starts_with(kStreamStdoutHead)) return parse_stream_data(fb, kStreamStdoutHead.size(), true);
  if (buf.starts_with(kStreamStderrHead)) return parse_stream_data(fb, kStreamStderrHead.size(), false);
  if (buf.starts_with(kStreamEndHead)) return parse_stream_end(fb);
  if (buf.starts_with(kStreamTimeoutHead)) {
    return parse_stream_id_only(fb, kStreamTimeoutHead.size(), "guest STREAM:TIMEOUT id 超出 u32 范围: ",
                                "guest STREAM:TIMEOUT id 字段后缺少换行: ", false);
  }
  return stream_prefix_test(buf);
}

// A buffer that may still grow into a frame head must be looked at again
// after every byte; any other line only when its newline arrives.
std::size_t line_resume_point(std::string_view buf) {
  if (buf.size() < kFsHead.size() && kFsHead.starts_with(buf)) return buf.size() + 1;
  if (buf.size() < kHttpHead.size() && kHttpHead.starts_with(buf)) return buf.size() + 1;
  if (buf.size() < kStreamPrefix.size() && kStreamPrefix.starts_with(buf)) return buf.size() + 1;
  return kResumeOnNewline;
}

Parsed parse_line(FrameBuffer& fb) {
  const auto nl = fb.bytes.find('\n');
  if (nl == std::string::npos) return Parsed::incomplete(line_resume_point(fb.bytes));
  Parsed p;
  p.kind = Parsed::Kind::Line;
  p.line = core::utf8_lossy(std::string_view(fb.bytes).substr(0, nl));
  fb.bytes.erase(0, nl + 1);
  return p;
}

Parsed parse_one(FrameBuffer& fb) {
  const std::string_view buf = fb.bytes;
  if (buf.size() < kFsHead.size()) {
    if (buf.size() >= kStreamPrefix.size() && buf.starts_with(kStreamPrefix)) return stream_prefix_test(buf);
    return parse_line(fb);
  }
  if (buf.starts_with(kFsHead)) return parse_fs_result(fb);
  if (buf.size() >= kHttpHead.size() && buf.starts_with(kHttpHead)) return parse_http_request(fb);
  if (buf.starts_with(kStreamPrefix)) return parse_stream(fb);
  return parse_line(fb);
}

// The UTF-8 character starting at `i` of a valid UTF-8 string.
std::string char_at(std::string_view s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  return std::string(s.substr(i, len));
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::expected<void, MicrovmError> unescape_output(std::string_view text, std::string& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i + 1 >= text.size()) return std::unexpected(MicrovmError::backend("guest OUTPUT frame ends with incomplete escape"));
    switch (text[i + 1]) {
      case '\\': out.push_back('\\'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'x': {
        if (i + 2 >= text.size()) return std::unexpected(MicrovmError::backend("guest OUTPUT frame missing high hex digit"));
        if (i + 3 >= text.size()) return std::unexpected(MicrovmError::backend("guest OUTPUT frame missing low hex digit"));
        const int hi = hex_value(text[i + 2]);
        if (hi < 0) return std::unexpected(MicrovmError::backend("guest OUTPUT 帧包含非法十六进制字符: " + char_at(text, i + 2)));
        const int lo = hex_value(text[i + 3]);
        if (lo < 0) return std::unexpected(MicrovmError::backend("guest OUTPUT 帧包含非法十六进制字符: " + char_at(text, i + 3)));
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default: return std::unexpected(MicrovmError::backend("guest OUTPUT 帧包含未知转义: \\" + char_at(text, i + 1)));
    }
    ++i;
  }
  return {};
}

// Decimal i32 with an optional sign, with the standard library's wording of
// integer parse failures.
std::expected<std::int32_t, std::string> parse_exit_code(std::string_view text) {
  if (text.empty()) return std::unexpected("cannot parse integer from empty string");
  bool negative = false;
  std::string_view digits = text;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
    if (digits.empty()) return std::unexpected("invalid digit found in string");
  }
  std::int64_t v = 0;
  for (char c : digits) {
    if (!is_digit(c)) return std::unexpected("invalid digit found in string");
    v = v * 10 + (c - '0');
    if (!negative && v > 2147483647) return std::unexpected("number too large to fit in target type");
    if (negative && v > 2147483648LL) return std::unexpected("number too small to fit in target type");
  }
  return static_cast<std::int32_t>(negative ? -v : v);
}

SerialProtocolResult finish_command(CommandCollector& c, std::optional<std::int32_t> code, bool timed_out) {
  GuestCommandResult r;
  r.stdout_data = std::move(c.stdout_data);
  r.stderr_data = std::move(c.stderr_data);
  c.stdout_data.clear();
  c.stderr_data.clear();
  r.exit_code = code;
  r.timed_out = timed_out;
  return frame::Command{std::move(r)};
}

// Meaning of a complete line; nullopt inside the outcome means "go on".
SerialWriteOutcome dispatch_line(const std::string& line, bool& guest_ready, ResponseCollector* collector) {
  if (line == "READY") {
    guest_ready = true;
    return std::nullopt;
  }
  if (line == "PONG") return SerialProtocolResult{frame::PingPong{}};
  if (collector == nullptr) return std::nullopt;
  if (auto* cmd = std::get_if<CommandCollector>(collector)) {
    if (line == "EXIT:TIMEOUT") return finish_command(*cmd, std::nullopt, true);
    if (line.starts_with("OUTPUT:")) {
      std::string_view rest = std::string_view(line).substr(7);
      std::string* target = &cmd->stdout_data;
      if (rest.starts_with("1:")) {
        rest.remove_prefix(2);
      } else if (rest.starts_with("2:")) {
        rest.remove_prefix(2);
        target = &cmd->stderr_data;
      }
      if (auto ok = unescape_output(rest, *target); !ok) return std::unexpected(std::move(ok.error()));
      return std::nullopt;
    }
    if (line.starts_with("EXIT:")) {
      const std::string_view rest = std::string_view(line).substr(5);
      auto code = parse_exit_code(rest);
      if (!code) {
        return std::unexpected(MicrovmError::backend("guest EXIT frame is not a valid integer: " + std::string(rest) +
                                                     ": " + code.error()));
      }
      return finish_command(*cmd, *code, false);
    }
    return std::nullopt;
  }
  if (line.starts_with("OUTPUT:") || line.starts_with("EXIT:")) {
    return std::unexpected(MicrovmError::backend("unexpected serial line while waiting for FSRESULT: " + line));
  }
  return std::nullopt;
}

SerialWriteOutcome dispatch_frame(SerialProtocolResult r, ResponseCollector* collector) {
  if (collector == nullptr) return std::nullopt;
  const bool awaiting_fs = std::holds_alternative<AwaitFsResult>(*collector);
  if (std::holds_alternative<frame::Fs>(r)) {
    if (awaiting_fs) return r;
    return std::unexpected(MicrovmError::backend("unexpected FSRESULT frame during command execution"));
  }
  if (awaiting_fs) {
    return std::unexpected(MicrovmError::backend("unexpected STREAM frame while waiting for FSRESULT: " + debug_string(r)));
  }
  return r;
}

// Handles one transmitted byte; nullopt means the parser wants more bytes.
std::optional<SerialWriteOutcome> transmit_byte(char b, std::string& console_output, bool& guest_ready,
                                                FrameBuffer& fb, ResponseCollector* collector) {
  console_output.push_back(b);
  // Carriage returns are line noise outside frames, but a counted payload is
  // raw data and keeps every byte.
  if (b != '\r' || fb.bytes.size() < fb.payload_end) fb.bytes.push_back(b);
  if (b != '\n' && fb.bytes.size() < fb.resume_at && fb.bytes.size() <= kFrameBufferLimit) return std::nullopt;
  for (;;) {
    if (fb.bytes.size() > kFrameBufferLimit) {
      fb.bytes.clear();
      fb.bytes.shrink_to_fit();
      fb.resume_at = 0;
      fb.payload_end = 0;
      return std::nullopt;
    }
    if (fb.bytes.empty()) {
      fb.resume_at = 0;
      fb.payload_end = 0;
      return std::nullopt;
    }
    Parsed p = parse_one(fb);
    switch (p.kind) {
      case Parsed::Kind::Incomplete:
        fb.resume_at = p.resume_at;
        fb.payload_end = p.payload_end;
        return std::nullopt;
      case Parsed::Kind::Error: return SerialWriteOutcome(std::unexpected(std::move(*p.error)));
      case Parsed::Kind::Line: {
        fb.resume_at = 0;
        fb.payload_end = 0;
        auto out = dispatch_line(p.line, guest_ready, collector);
        if (!out || out->has_value()) return out;
        break;
      }
      case Parsed::Kind::Frame: {
        fb.resume_at = 0;
        fb.payload_end = 0;
        auto out = dispatch_frame(std::move(*p.frame), collector);
        if (!out || out->has_value()) return out;
        break;
      }
    }
  }
}

std::string exit_code_debug(const std::optional<std::int32_t>& c) {
  return c ? "Some(" + std::to_string(*c) + ")" : "None";
}

}  // namespace

std::string debug_string(const SerialProtocolResult& r) {
  struct Visitor {
    std::string operator()(const frame::PingPong&) const { return "PingPong"; }
    std::string operator()(const frame::Command& c) const {
      return "Command(GuestCommandResult { stdout: " + std::to_string(c.result.stdout_data.size()) +
             " bytes, stderr: " + std::to_string(c.result.stderr_data.size()) +
             " bytes, exit_code: " + exit_code_debug(c.result.exit_code) +
             ", timed_out: " + (c.result.timed_out ? "true" : "false") + " })";
    }
    std::string operator()(const frame::Fs& f) const {
      return "Fs(FsResult { status: " + std::to_string(f.result.status) + ", data: " +
             std::to_string(f.result.data.size()) + " bytes })";
    }
    std::string operator()(const frame::HttpRequest& h) const {
      return "HttpRequest(HttpRequestFrame { id: " + std::to_string(h.frame.id) + ", method: " + h.frame.request.method +
             ", url: " + h.frame.request.url + " })";
    }
    std::string operator()(const frame::StreamStart& s) const { return "StreamStart(" + std::to_string(s.id) + ")"; }
    std::string operator()(const frame::StreamStdout& s) const {
      return "StreamStdout(" + std::to_string(s.id) + ", " + std::to_string(s.data.size()) + " bytes)";
    }
    std::string operator()(const frame::StreamStderr& s) const {
      return "StreamStderr(" + std::to_string(s.id) + ", " + std::to_string(s.data.size()) + " bytes)";
    }
    std::string operator()(const frame::StreamEnd& s) const {
      return "StreamEnd(" + std::to_string(s.id) + ", " + std::to_string(s.exit_code) + ")";
    }
    std::string operator()(const frame::StreamTimeout& s) const {
      return "StreamTimeout(" + std::to_string(s.id) + ")";
    }
  };
  return std::visit(Visitor{}, r);
}

SerialWriteOutcome handle_serial_write(SerialDevice& serial, std::string& console_output, bool& guest_ready,
                                       std::uint16_t port, std::span<const std::uint8_t> data,
                                       FrameBuffer& frame_buffer, ResponseCollector* collector) {
  for (std::uint8_t b : data) {
    if (!serial.write_register(port, b)) continue;
    if (auto out = transmit_byte(static_cast<char>(b), console_output, guest_ready, frame_buffer, collector)) {
      return std::move(*out);
    }
  }
  return std::nullopt;
}

SerialWriteOutcome feed_serial_bytes(std::string& console_output, bool& guest_ready, std::string_view data,
                                     FrameBuffer& frame_buffer, ResponseCollector* collector) {
  for (char b : data) {
    if (auto out = transmit_byte(b, console_output, guest_ready, frame_buffer, collector)) return std::move(*out);
  }
  return std::nullopt;
}

}  // namespace quorrel::vm

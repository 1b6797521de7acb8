#include "frame_reader.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

namespace quorrel::agent {
namespace {

constexpr std::size_t kMaxHeadToken = 32;
// Announced payloads up to this size are skipped by count when refused;
// beyond it the length itself is not trusted.
constexpr std::uint64_t kMaxSkippableBytes = 64ull * 1024 * 1024;

enum class Step { Ok, Eof, Bad };

void sleep_ms(long ms) {
  timespec ts{0, ms * 1'000'000L};
  nanosleep(&ts, nullptr);
}

class Parse {
 public:
  explicit Parse(Transport& t) : t_(t) {}

  // Reads up to ':' or newline (the delimiter is consumed and reported).
  Step token(std::string& out, char& delim, std::size_t max_len) {
    out.clear();
    for (;;) {
      const auto byte = t_.read_byte();
      if (!byte) {
        return Step::Eof;
      }
      const char c = static_cast<char>(*byte);
      if (c == ':' || c == '\n') {
        delim = c;
        last_was_newline_ = c == '\n';
        return Step::Ok;
      }
      if (out.size() == max_len) {
        last_was_newline_ = false;
        return Step::Bad;
      }
      out += c;
    }
  }

  // Unsigned decimal number ended by `terminator`.
  Step number(std::uint64_t& value, char terminator) {
    value = 0;
    bool any = false;
    for (;;) {
      const auto byte = t_.read_byte();
      if (!byte) {
        return Step::Eof;
      }
      const char c = static_cast<char>(*byte);
      last_was_newline_ = c == '\n';
      if (c >= '0' && c <= '9') {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
          return Step::Bad;
        }
        value = value * 10 + digit;
        any = true;
        continue;
      }
      return any && c == terminator ? Step::Ok : Step::Bad;
    }
  }

  // `len` payload bytes followed by a newline.
  Step payload(std::string& out, std::uint64_t len) {
    out.resize(static_cast<std::size_t>(len));
    if (!t_.read_exact(std::span(reinterpret_cast<std::uint8_t*>(out.data()), out.size()))) {
      return Step::Eof;
    }
    const auto end = t_.read_byte();
    if (!end) {
      return Step::Eof;
    }
    last_was_newline_ = *end == '\n';
    return last_was_newline_ ? Step::Ok : Step::Bad;
  }

  // Skips `len` payload bytes and the newline after them.
  bool skip(std::uint64_t len) {
    std::array<std::uint8_t, 16384> scratch{};
    while (len > 0) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, scratch.size()));
      if (!t_.read_exact(std::span(scratch.data(), n))) {
        return false;
      }
      len -= n;
    }
    const auto end = t_.read_byte();
    last_was_newline_ = true;
    return end.has_value();
  }

  // After a broken header: drop the rest of the line, then whatever else the
  // host has queued until the line has been quiet for a moment, so that a
  // payload of unknown length is not mistaken for frames.
  void resync() {
    if (!last_was_newline_) {
      for (;;) {
        const auto byte = t_.read_byte();
        if (!byte || *byte == '\n') {
          break;
        }
      }
    }
    int quiet_ms = 0;
    while (quiet_ms < 20) {
      if (t_.input_ready()) {
        if (!t_.read_byte()) {
          return;
        }
        quiet_ms = 0;
        continue;
      }
      sleep_ms(1);
      ++quiet_ms;
    }
  }

 private:
  Transport& t_;
  bool last_was_newline_ = false;
};

}  // namespace

std::optional<HostFrame> FrameReader::read_frame() {
  Parse p(transport_);
  std::string head;
  char delim = 0;
  std::uint64_t n = 0;

  // One helper per failure shape keeps the grammar below readable.
  auto broken = [&](MalformedKind kind, std::string detail) -> std::optional<HostFrame> {
    p.resync();
    return MalformedFrame{kind, std::move(detail)};
  };
  // A length within the sanity bound but above the frame's limit: skip the
  // payload by count.
  auto too_long = [&](MalformedKind kind, std::uint64_t len, std::size_t limit) -> std::optional<HostFrame> {
    std::string detail = "payload of " + std::to_string(len) + " bytes exceeds " + std::to_string(limit);
    if (len > kMaxSkippableBytes) {
      return broken(kind, std::move(detail));
    }
    if (!p.skip(len)) {
      return std::nullopt;
    }
    // An FS:WRITE has a second payload after the path; drop what follows.
    p.resync();
    return MalformedFrame{kind, std::move(detail)};
  };

  for (;;) {
    switch (p.token(head, delim, kMaxHeadToken)) {
      case Step::Eof: return std::nullopt;
      case Step::Bad: return broken(MalformedKind::UnknownPrefix, "frame head too long");
      case Step::Ok: break;
    }
    if (delim == '\n') {
      if (head.empty()) {
        continue;
      }
      if (head == "PING") {
        return PingFrame{};
      }
      return MalformedFrame{MalformedKind::UnknownPrefix, head};
    }
    break;
  }

#define QUORREL_STEP(expr, kind, what)                \
  switch (expr) {                                     \
    case Step::Eof: return std::nullopt;              \
    case Step::Bad: return broken(kind, what);        \
    case Step::Ok: break;                             \
  }

  if (head == "EXEC") {
    constexpr auto kind = MalformedKind::Command;
    QUORREL_STEP(p.number(n, ':'), kind, "bad EXEC length");
    if (n > kMaxCommandBytes) return too_long(kind, n, kMaxCommandBytes);
    ExecFrame frame;
    QUORREL_STEP(p.payload(frame.json, n), kind, "EXEC payload not followed by newline");
    return frame;
  }
  if (head == "EXECS") {
    std::uint64_t id = 0;
    QUORREL_STEP(p.number(id, ':'), MalformedKind::StreamCommandId, "bad EXECS id");
    if (id > std::numeric_limits<std::uint32_t>::max()) {
      return broken(MalformedKind::StreamCommandId, "EXECS id exceeds u32");
    }
    constexpr auto kind = MalformedKind::StreamCommand;
    QUORREL_STEP(p.number(n, ':'), kind, "bad EXECS length");
    if (n > kMaxCommandBytes) return too_long(kind, n, kMaxCommandBytes);
    ExecStreamFrame frame;
    frame.id = static_cast<std::uint32_t>(id);
    QUORREL_STEP(p.payload(frame.command, n), kind, "EXECS payload not followed by newline");
    return frame;
  }
  if (head == "FS") {
    constexpr auto kind = MalformedKind::File;
    std::string op;
    QUORREL_STEP(p.token(op, delim, kMaxHeadToken), kind, "bad FS operation");
    if (delim != ':' || (op != "READ" && op != "WRITE")) {
      return broken(kind, "unknown FS operation " + op);
    }
    QUORREL_STEP(p.number(n, ':'), kind, "bad FS path length");
    if (n > kMaxPathBytes) return too_long(kind, n, kMaxPathBytes);
    std::string path;
    QUORREL_STEP(p.payload(path, n), kind, "FS path not followed by newline");
    if (op == "READ") {
      return FsReadFrame{std::move(path)};
    }
    QUORREL_STEP(p.number(n, ':'), kind, "bad FS:WRITE data length");
    if (n > kMaxFileBytes) return too_long(kind, n, kMaxFileBytes);
    FsWriteFrame frame;
    frame.path = std::move(path);
    QUORREL_STEP(p.payload(frame.data, n), kind, "FS:WRITE data not followed by newline");
    return frame;
  }
  if (head == "HTTPRESP") {
    constexpr auto kind = MalformedKind::HttpResponse;
    std::string op;
    QUORREL_STEP(p.token(op, delim, kMaxHeadToken), kind, "bad HTTPRESP type");
    if (delim != ':') {
      return broken(kind, "bad HTTPRESP type " + op);
    }
    std::uint64_t id = 0;
    if (op == "END") {
      QUORREL_STEP(p.number(id, '\n'), kind, "bad HTTPRESP:END id");
    } else {
      QUORREL_STEP(p.number(id, ':'), kind, "bad HTTPRESP id");
    }
    if (id > std::numeric_limits<std::uint32_t>::max()) {
      return broken(kind, "HTTPRESP id exceeds u32");
    }
    const auto id32 = static_cast<std::uint32_t>(id);
    if (op == "END") {
      return HttpEndFrame{id32};
    }
    std::string code;
    if (op == "ERROR") {
      QUORREL_STEP(p.token(code, delim, 64), kind, "bad HTTPRESP:ERROR code");
      if (delim != ':') {
        return broken(kind, "bad HTTPRESP:ERROR code");
      }
    } else if (op != "HEADERS" && op != "BODY") {
      return broken(kind, "unknown HTTPRESP type " + op);
    }
    QUORREL_STEP(p.number(n, ':'), kind, "bad HTTPRESP length");
    if (n > kMaxHttpPayloadBytes) return too_long(kind, n, kMaxHttpPayloadBytes);
    std::string data;
    QUORREL_STEP(p.payload(data, n), kind, "HTTPRESP payload not followed by newline");
    if (op == "HEADERS") {
      return HttpHeadersFrame{id32, std::move(data)};
    }
    if (op == "BODY") {
      return HttpBodyFrame{id32, std::move(data)};
    }
    return HttpErrorFrame{id32, std::move(code), std::move(data)};
  }
#undef QUORREL_STEP
  return broken(MalformedKind::UnknownPrefix, head);
}

}  // namespace quorrel::agent

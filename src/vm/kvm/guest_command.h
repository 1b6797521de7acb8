#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/duration.h"

namespace quorrel::vm {

// The outcome of one command run by the guest agent. Output is raw bytes.
struct GuestCommandResult {
  std::string stdout_data;
  std::string stderr_data;
  std::optional<std::int32_t> exit_code;
  bool timed_out = false;

  friend bool operator==(const GuestCommandResult&, const GuestCommandResult&) = default;
};

// Per-command settings handed down by the SDK.
struct GuestCommandOptions {
  std::optional<std::string> cwd;
  std::optional<core::Duration> timeout;
  std::map<std::string, std::string> env;
};

// One event of a streaming command, in the order the guest produced them.
struct GuestStreamEvent {
  enum class Kind : std::uint8_t { Stdout, Stderr, Exit, TimedOut };
  Kind kind = Kind::Exit;
  std::string data;           // Stdout, Stderr
  std::int32_t exit_code = 0;  // Exit

  static GuestStreamEvent out(std::string d) { return {Kind::Stdout, std::move(d), 0}; }
  static GuestStreamEvent err(std::string d) { return {Kind::Stderr, std::move(d), 0}; }
  static GuestStreamEvent exit(std::int32_t code) { return {Kind::Exit, {}, code}; }
  static GuestStreamEvent timed_out() { return {Kind::TimedOut, {}, 0}; }

  friend bool operator==(const GuestStreamEvent&, const GuestStreamEvent&) = default;
};

}  // namespace quorrel::vm

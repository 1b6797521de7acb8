// Readiness probe and one-shot commands over the serial channel.
#include "core/utf8.h"
#include "vm/kvm/devices/serial/frame_encoders.h"
#include "vm/kvm/kvm_backend.h"

namespace quorrel::vm {

namespace {

std::string exit_code_debug(const std::optional<std::int32_t>& c) {
  return c ? "Some(" + std::to_string(*c) + ")" : "None";
}

}  // namespace

void KvmBackend::mark_timed_out() {
  state_ = BackendState::Destroyed;
  guest_ready_ = false;
}

void KvmBackend::finish_operation() {
  if (state_ != BackendState::Destroyed) state_ = BackendState::Ready;
}

std::expected<void, MicrovmError> KvmBackend::ensure_guest_ready() {
  if (state_ == BackendState::Destroyed) return std::unexpected(MicrovmError::destroyed());
  if (guest_ready_) return {};
  auto reason = boot();
  if (!reason) return std::unexpected(reason.error());
  if (*reason != KvmExitReason::Io) {
    return std::unexpected(MicrovmError::backend("guest exited before entering command loop: " +
                                                 std::string(exit_reason_name(*reason))));
  }
  return {};
}

std::expected<std::optional<std::uint64_t>, MicrovmError> KvmBackend::effective_command_timeout_secs(
    std::optional<std::uint64_t> default_secs, std::optional<core::Duration> per_command) {
  if (!per_command) return default_secs;
  if (per_command->is_zero()) return std::unexpected(MicrovmError::invalid_config("per-command timeout must not be zero"));
  const unsigned __int128 millis = per_command->as_millis();
  unsigned __int128 secs = (millis + 999) / 1000;
  if (secs == 0) secs = 1;
  if (secs > ~std::uint64_t{0}) return std::unexpected(MicrovmError::invalid_config("per-command timeout exceeds u64 range"));
  return std::optional<std::uint64_t>(static_cast<std::uint64_t>(secs));
}

std::expected<core::Duration, MicrovmError> KvmBackend::ping_with_timeout(core::Duration timeout) {
  if (timeout.is_zero()) return std::unexpected(MicrovmError::invalid_config("ping timeout must not be zero"));
  if (auto ok = ensure_guest_ready(); !ok) return std::unexpected(ok.error());
  if (state_ != BackendState::Ready) return std::unexpected(MicrovmError::not_ready());

  const auto started = std::chrono::steady_clock::now();
  serial_.queue_input(encode_ping());
  state_ = BackendState::Running;
  FrameBuffer frames;
  ResponseCollector collector = CommandCollector{};

  auto loop = [&]() -> std::expected<void, MicrovmError> {
    auto watchdog = start_watchdog(timeout);
    if (!watchdog) return std::unexpected(watchdog.error());
    for (;;) {
      auto step = run_vcpu_step(frames, &collector, &*watchdog);
      if (!step) {
        if (watchdog->fired()) {
          mark_timed_out();
          return std::unexpected(MicrovmError::backend("guest readiness probe timed out: " + step.error().text() +
                                                       "; serial=" + preview_serial_output(console_output_)));
        }
        return std::unexpected(step.error());
      }
      if (auto* reason = std::get_if<KvmExitReason>(&*step)) {
        if (*reason == KvmExitReason::Io || *reason == KvmExitReason::Hlt) continue;
        return std::unexpected(MicrovmError::backend("guest exited unexpectedly before returning PONG: " +
                                                     std::string(exit_reason_name(*reason))));
      }
      auto& frame = std::get<SerialProtocolResult>(*step);
      if (std::holds_alternative<frame::PingPong>(frame)) return {};
      if (auto* cmd = std::get_if<frame::Command>(&frame)) {
        return std::unexpected(MicrovmError::backend(
            "guest does not support PING readiness probe: exit_code=" + exit_code_debug(cmd->result.exit_code) +
            ", stdout=" + core::utf8_lossy(cmd->result.stdout_data)));
      }
      if (auto* http = std::get_if<frame::HttpRequest>(&frame)) {
        if (auto ok = run_http_proxy_request(http->frame.id, std::move(http->frame.request)); !ok) return ok;
        continue;
      }
      return std::unexpected(MicrovmError::backend("unexpected protocol frame during readiness probe"));
    }
  };

  auto result = loop();
  finish_operation();
  if (!result) return std::unexpected(result.error());
  return core::Duration::from_chrono(std::chrono::steady_clock::now() - started);
}

std::expected<GuestCommandResult, MicrovmError> KvmBackend::run_command_with_options(const std::vector<std::string>& argv,
                                                                                     const GuestCommandOptions& options) {
  if (state_ != BackendState::Ready) return std::unexpected(MicrovmError::not_ready());
  if (argv.empty()) return std::unexpected(MicrovmError::invalid_config("command must not be empty"));
  if (auto ok = ensure_guest_ready(); !ok) return std::unexpected(ok.error());
  auto timeout = effective_command_timeout_secs(sandbox_config_.timeout_secs, options.timeout);
  if (!timeout) return std::unexpected(timeout.error());
  last_command_ = build_guest_command(argv);
  state_ = BackendState::Running;
  auto result = run_command_over_serial(argv, options.env, *timeout, options.cwd);
  finish_operation();
  return result;
}

std::expected<GuestCommandResult, MicrovmError> KvmBackend::run_command_over_serial(
    const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
    std::optional<std::uint64_t> timeout_secs, const std::optional<std::string>& cwd) {
  auto frame = encode_command_payload(argv, env, timeout_secs, cwd);
  if (!frame) return std::unexpected(frame.error());
  serial_.queue_input(*frame);
  last_command_ = std::move(*frame);
  return run_until_command_result(timeout_secs);
}

std::expected<GuestCommandResult, MicrovmError> KvmBackend::run_until_command_result(
    std::optional<std::uint64_t> timeout_secs) {
  auto watchdog = start_watchdog(core::Duration::from_secs(timeout_secs.value_or(kDefaultWaitSecs)));
  if (!watchdog) return std::unexpected(watchdog.error());
  FrameBuffer frames;
  ResponseCollector collector = CommandCollector{};
  for (;;) {
    auto step = run_vcpu_step(frames, &collector, &*watchdog);
    if (!step) {
      if (watchdog->fired()) {
        mark_timed_out();
        auto& partial = std::get<CommandCollector>(collector);
        return GuestCommandResult{std::move(partial.stdout_data), std::move(partial.stderr_data), std::nullopt, true};
      }
      return std::unexpected(step.error());
    }
    if (auto* reason = std::get_if<KvmExitReason>(&*step)) {
      if (*reason == KvmExitReason::Io) continue;
      return std::unexpected(MicrovmError::backend("guest exited unexpectedly before returning EXIT frame: " +
                                                   std::string(exit_reason_name(*reason))));
    }
    auto& frame = std::get<SerialProtocolResult>(*step);
    if (auto* cmd = std::get_if<frame::Command>(&frame)) return std::move(cmd->result);
    if (std::holds_alternative<frame::PingPong>(frame)) {
      return std::unexpected(MicrovmError::backend("unexpected PONG frame during command execution"));
    }
    if (std::holds_alternative<frame::Fs>(frame)) {
      return std::unexpected(MicrovmError::backend("unexpected FSRESULT frame during command execution"));
    }
    if (auto* http = std::get_if<frame::HttpRequest>(&frame)) {
      if (auto ok = run_http_proxy_request(http->frame.id, std::move(http->frame.request)); !ok) return std::unexpected(ok.error());
      continue;
    }
    return std::unexpected(
        MicrovmError::backend("STREAM frame received before streaming command execution path is enabled"));
  }
}

}  // namespace quorrel::vm

// Streaming command execution: STREAM frames become GuestStreamEvents.
#include <thread>

#include "vm/kvm/devices/serial/frame_encoders.h"
#include "vm/kvm/kvm_backend.h"

namespace quorrel::vm {

namespace {

// Replies of a guest agent that does not know EXECS.
bool is_streaming_refusal(const GuestCommandResult& r) {
  if (r.timed_out || !r.stderr_data.empty()) return false;
  return r.stdout_data == "invalid EXECS id" || r.stdout_data == "invalid EXECS frame" ||
         r.stdout_data == "invalid command frame" || r.stdout_data == "unsupported command prefix";
}

// Moves events from the unbounded internal channel into the bounded outer
// one, so that the vCPU loop never waits for a slow consumer.
void spawn_stream_event_forwarder(GuestEventChannel::Receiver inner, GuestEventChannel::Sender outer) {
  std::thread([inner = std::move(inner), outer = std::move(outer)]() mutable {
    while (auto event = inner.recv()) {
      if (!outer.send(std::move(*event))) return;
    }
  }).detach();
}

std::unexpected<MicrovmError> fail(std::string text) { return std::unexpected(MicrovmError::backend(std::move(text))); }

}  // namespace

void emit_command_result_as_stream(GuestEventChannel::Sender& sender, const GuestCommandResult& result) {
  if (!result.stdout_data.empty()) (void)sender.send(GuestStreamEvent::out(result.stdout_data));
  if (!result.stderr_data.empty()) (void)sender.send(GuestStreamEvent::err(result.stderr_data));
  if (result.timed_out) {
    (void)sender.send(GuestStreamEvent::timed_out());
  } else if (result.exit_code) {
    (void)sender.send(GuestStreamEvent::exit(*result.exit_code));
  }
}

std::expected<GuestEventChannel::Receiver, MicrovmError> KvmBackend::run_command_streaming_with_options(
    const std::vector<std::string>& argv, const GuestCommandOptions& options) {
  if (state_ != BackendState::Ready) return std::unexpected(MicrovmError::not_ready());
  if (argv.empty()) return std::unexpected(MicrovmError::invalid_config("command must not be empty"));
  if (auto ok = ensure_guest_ready(); !ok) return std::unexpected(ok.error());
  state_ = BackendState::Running;
  auto timeout = effective_command_timeout_secs(sandbox_config_.timeout_secs, options.timeout);
  if (!timeout) {
    finish_operation();
    return std::unexpected(timeout.error());
  }

  const std::string frame = encode_stream_command(0, build_guest_command(argv));
  auto [inner_tx, inner_rx] = GuestEventChannel::create(0);
  auto [outer_tx, outer_rx] = GuestEventChannel::create(kStreamChannelCapacity);
  try {
    spawn_stream_event_forwarder(std::move(inner_rx), std::move(outer_tx));
  } catch (const std::system_error&) {
    finish_operation();
    return std::unexpected(MicrovmError::backend("failed to spawn thread"));
  }

  // Runs the EXECS exchange; returns true when the guest refused streaming.
  auto stream = [&]() -> std::expected<bool, MicrovmError> {
    serial_.queue_input(frame);
    last_command_ = frame;
    auto watchdog = start_watchdog(core::Duration::from_secs(timeout->value_or(kDefaultWaitSecs)));
    if (!watchdog) return std::unexpected(watchdog.error());
    FrameBuffer frames;
    ResponseCollector collector = CommandCollector{};
    bool started = false;
    for (;;) {
      auto step = run_vcpu_step(frames, &collector, &*watchdog);
      if (!step) {
        if (watchdog->fired()) {
          mark_timed_out();
          (void)inner_tx.send(GuestStreamEvent::timed_out());
          return false;
        }
        return std::unexpected(step.error());
      }
      if (auto* reason = std::get_if<KvmExitReason>(&*step)) {
        if (*reason == KvmExitReason::Io) continue;
        return fail("guest exited unexpectedly before returning STREAM:END: " + std::string(exit_reason_name(*reason)));
      }
      auto& f = std::get<SerialProtocolResult>(*step);
      if (auto* s = std::get_if<frame::StreamStart>(&f)) {
        if (s->id != 0) return fail("unexpected STREAM:START id, expected 0, got " + std::to_string(s->id));
        started = true;
      } else if (auto* s = std::get_if<frame::StreamStdout>(&f)) {
        if (s->id != 0) return fail("unexpected STREAM:STDOUT id, expected 0, got " + std::to_string(s->id));
        if (!started) return fail("missing STREAM:START before STREAM:STDOUT");
        (void)inner_tx.send(GuestStreamEvent::out(std::move(s->data)));
      } else if (auto* s = std::get_if<frame::StreamStderr>(&f)) {
        if (s->id != 0) return fail("unexpected STREAM:STDERR id, expected 0, got " + std::to_string(s->id));
        if (!started) return fail("missing STREAM:START before STREAM:STDERR");
        (void)inner_tx.send(GuestStreamEvent::err(std::move(s->data)));
      } else if (auto* s = std::get_if<frame::StreamEnd>(&f)) {
        if (s->id != 0) return fail("unexpected STREAM:END id, expected 0, got " + std::to_string(s->id));
        if (!started) return fail("missing STREAM:START before STREAM:END");
        (void)inner_tx.send(GuestStreamEvent::exit(s->exit_code));
        return false;
      } else if (auto* s = std::get_if<frame::StreamTimeout>(&f)) {
        if (s->id != 0) return fail("unexpected STREAM:TIMEOUT id, expected 0, got " + std::to_string(s->id));
        if (!started) return fail("missing STREAM:START before STREAM:TIMEOUT");
        (void)inner_tx.send(GuestStreamEvent::timed_out());
        return false;
      } else if (auto* c = std::get_if<frame::Command>(&f)) {
        if (is_streaming_refusal(c->result)) return true;
        emit_command_result_as_stream(inner_tx, c->result);
        return false;
      } else if (std::holds_alternative<frame::PingPong>(f)) {
        return fail("unexpected PONG frame during streaming execution");
      } else if (std::holds_alternative<frame::Fs>(f)) {
        return fail("unexpected FSRESULT frame during streaming execution");
      } else if (auto* h = std::get_if<frame::HttpRequest>(&f)) {
        if (auto ok = run_http_proxy_request(h->frame.id, std::move(h->frame.request)); !ok) return std::unexpected(ok.error());
      }
    }
  };

  auto run = [&]() -> std::expected<void, MicrovmError> {
    auto refused = stream();
    if (!refused) return std::unexpected(refused.error());
    if (!*refused) return {};
    // The agent has no streaming: send the command again as one EXEC frame.
    serial_.clear_input();
    auto exec = encode_command_payload(argv, options.env, *timeout, options.cwd);
    if (!exec) return std::unexpected(exec.error());
    serial_.queue_input(*exec);
    last_command_ = std::move(*exec);
    auto result = run_until_command_result(*timeout);
    if (!result) return std::unexpected(result.error());
    emit_command_result_as_stream(inner_tx, *result);
    return {};
  };

  auto result = run();
  finish_operation();
  inner_tx.close();
  if (!result) return std::unexpected(result.error());
  return std::move(outer_rx);
}

}  // namespace quorrel::vm

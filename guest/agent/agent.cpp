#include "agent.h"

#include <sys/wait.h>

#include "fs_ops.h"
#include "guest_frame.h"

namespace quorrel::agent {
namespace {

// Collects exited processes that were not waited for (orphans adopted by
// the agent when it runs as init).
void reap_orphans() {
  int status = 0;
  while (::waitpid(-1, &status, WNOHANG) > 0) {
  }
}

}  // namespace

void Agent::run() {
  std::optional<HostFrame> pending;
  for (;;) {
    reap_orphans();
    std::optional<HostFrame> frame = pending ? std::move(pending) : reader_.read_frame();
    pending.reset();
    if (!frame) {
      return;
    }
    pending = handle(std::move(*frame));
  }
}

std::optional<HostFrame> Agent::handle(HostFrame frame) {
  if (std::holds_alternative<PingFrame>(frame)) {
    transport_.write_all("PONG\n");
  } else if (const auto* exec = std::get_if<ExecFrame>(&frame)) {
    return handle_exec(*exec);
  } else if (const auto* execs = std::get_if<ExecStreamFrame>(&frame)) {
    return handle_exec_stream(*execs);
  } else if (const auto* read = std::get_if<FsReadFrame>(&frame)) {
    const FileReadResult result = read_whole_file(read->path);
    transport_.write_all(result.status == FsStatus::Ok ? fs_result_frame(result.status, result.data)
                                                       : fs_result_frame(result.status));
  } else if (const auto* write = std::get_if<FsWriteFrame>(&frame)) {
    transport_.write_all(fs_result_frame(write_whole_file(write->path, write->data)));
  } else if (const auto* malformed = std::get_if<MalformedFrame>(&frame)) {
    if (malformed->kind == MalformedKind::HttpResponse) {
      return std::nullopt;  // a broken answer cannot be routed to anyone
    }
    handle_malformed(*malformed);
  } else if (bridge_ != nullptr) {
    // An HTTP answer that arrives after its command ended.
    bridge_->deliver(frame);
  }
  return std::nullopt;
}

std::optional<HostFrame> Agent::handle_exec(const ExecFrame& frame) {
  const auto request = parse_exec_json(frame.json);
  if (!request) {
    transport_.write_all(plain_output_line("invalid command frame"));
    transport_.write_all(output_line(OutputStream::Stderr, escape_output(request.error())));
    transport_.write_all(exit_line(2));
    return std::nullopt;
  }
  ExecReplySink sink(transport_);
  return run_command(*request, settings_, sink, transport_, reader_, bridge_);
}

std::optional<HostFrame> Agent::handle_exec_stream(const ExecStreamFrame& frame) {
  CommandRequest request;
  request.command = frame.command;
  if (request.command.find('\0') != std::string::npos) {
    transport_.write_all(plain_output_line("invalid EXECS frame"));
    transport_.write_all(exit_line(2));
    return std::nullopt;
  }
  StreamReplySink sink(transport_, frame.id);
  return run_command(request, settings_, sink, transport_, reader_, bridge_);
}

void Agent::handle_malformed(const MalformedFrame& frame) {
  switch (frame.kind) {
    case MalformedKind::File:
      transport_.write_all(fs_result_frame(FsStatus::IoError));
      return;
    case MalformedKind::Command:
      transport_.write_all(plain_output_line("invalid command frame"));
      break;
    case MalformedKind::StreamCommand:
      transport_.write_all(plain_output_line("invalid EXECS frame"));
      break;
    case MalformedKind::StreamCommandId:
      transport_.write_all(plain_output_line("invalid EXECS id"));
      break;
    case MalformedKind::UnknownPrefix:
    case MalformedKind::HttpResponse:
      transport_.write_all(plain_output_line("unsupported command prefix"));
      break;
  }
  transport_.write_all(exit_line(2));
}

}  // namespace quorrel::agent

#include "sdk/stream.h"

namespace quorrel::sdk {

StreamReceiver stream_from_completed_result(const core::SandboxResult& result) {
  auto [sender, receiver] = make_bounded_channel<StreamEvent>(kStreamChannelCapacity);
  // At most three events: the channel never fills.
  if (!result.stdout_data.empty()) sender.send({StreamEvent::Stdout{result.stdout_data}});
  if (!result.stderr_data.empty()) sender.send({StreamEvent::Stderr{result.stderr_data}});
  if (result.timed_out) {
    sender.send({StreamEvent::TimedOut{}});
  } else {
    sender.send({StreamEvent::Exit{result.exit_code.value_or(-1)}});
  }
  return std::move(receiver);
}

}  // namespace quorrel::sdk

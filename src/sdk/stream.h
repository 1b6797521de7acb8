#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "core/sandbox.h"
#include "sdk/channel.h"
#include "sdk/error.h"

namespace quorrel::sdk {

// One event of a streaming execution. Exit and TimedOut are last.
struct StreamEvent {
  struct Stdout {
    std::string data;
    friend bool operator==(const Stdout&, const Stdout&) = default;
  };
  struct Stderr {
    std::string data;
    friend bool operator==(const Stderr&, const Stderr&) = default;
  };
  struct Exit {
    std::int32_t code;
    friend bool operator==(const Exit&, const Exit&) = default;
  };
  struct TimedOut {
    friend bool operator==(const TimedOut&, const TimedOut&) = default;
  };
  std::variant<Stdout, Stderr, Exit, TimedOut> value;

  friend bool operator==(const StreamEvent&, const StreamEvent&) = default;
};

inline constexpr std::size_t kStreamChannelCapacity = 32;

using StreamSender = Sender<StreamEvent>;
using StreamReceiver = Receiver<StreamEvent>;

// The events of a command that has already run to its end: Stdout if any
// output, Stderr if any, then TimedOut, or Exit with the code (-1 when there
// is none). The returned stream is closed behind the last event.
StreamReceiver stream_from_completed_result(const core::SandboxResult& result);

// Moves every event of `source` onto a fresh stream through a detached
// thread, converting each with `convert`. `source` must offer
// `std::optional<E> receive()` returning nullopt once it has closed. The
// thread ends when the source closes or the consumer drops the stream.
template <class Source, class Convert>
SdkResult<StreamReceiver> bridge_stream(Source source, Convert convert) {
  auto [sender, receiver] = make_bounded_channel<StreamEvent>(kStreamChannelCapacity);
  try {
    std::thread([source = std::move(source), sender = std::move(sender), convert = std::move(convert)]() mutable {
      while (auto event = source.receive()) {
        if (!sender.send(convert(std::move(*event)))) break;
      }
    }).detach();
  } catch (const std::system_error& e) {
    return std::unexpected(
        SdkError::coded(ErrorCode::BackendFailure, std::string("failed to start stream bridge thread: ") + e.what()));
  }
  return std::move(receiver);
}

}  // namespace quorrel::sdk

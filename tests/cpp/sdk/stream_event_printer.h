#pragma once

#include <ostream>

#include "sdk/stream.h"

namespace quorrel::sdk {

// Readable StreamEvent values in test failure messages.
inline void PrintTo(const StreamEvent& e, std::ostream* os) {
  if (const auto* out = std::get_if<StreamEvent::Stdout>(&e.value)) {
    *os << "Stdout(\"" << out->data << "\")";
  } else if (const auto* err = std::get_if<StreamEvent::Stderr>(&e.value)) {
    *os << "Stderr(\"" << err->data << "\")";
  } else if (const auto* exit = std::get_if<StreamEvent::Exit>(&e.value)) {
    *os << "Exit(" << exit->code << ")";
  } else {
    *os << "TimedOut";
  }
}

}  // namespace quorrel::sdk

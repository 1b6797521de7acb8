#include "python/py_stream_event.h"

#include <variant>

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "A single event from a streaming sandbox execution.\n\n"
    "Each event carries at most one kind of data: a stdout chunk, a stderr\n"
    "chunk, an exit code, or a timeout notification.";

PyGetSetDef kAttributes[] = {
    attribute<&PyStreamEvent::event_type>("event_type", ""),
    attribute<&PyStreamEvent::stdout_chunk>("stdout", "Returns stdout bytes chunk, if present."),
    attribute<&PyStreamEvent::stderr_chunk>("stderr", "Returns stderr bytes chunk, if present."),
    attribute<&PyStreamEvent::exit_code>("exit_code", "Returns the process exit code, if available."),
    attribute<&PyStreamEvent::timed_out>("timed_out", "Returns whether the command timed out."),
    {},
};

PyType_Slot kSlots[] = {{Py_tp_getset, kAttributes}, {0, nullptr}};

struct FromSdk {
  PyStreamEvent operator()(sdk::StreamEvent::Stdout& e) const {
    return {.event_type = "stdout", .stdout_chunk = Bytes{std::move(e.data)}};
  }
  PyStreamEvent operator()(sdk::StreamEvent::Stderr& e) const {
    return {.event_type = "stderr", .stderr_chunk = Bytes{std::move(e.data)}};
  }
  PyStreamEvent operator()(sdk::StreamEvent::Exit& e) const { return {.event_type = "exit", .exit_code = e.code}; }
  PyStreamEvent operator()(sdk::StreamEvent::TimedOut&) const {
    return {.event_type = "timeout", .timed_out = true};
  }
};

}  // namespace

PyStreamEvent PyStreamEvent::from_sdk(sdk::StreamEvent event) { return std::visit(FromSdk{}, event.value); }

const ClassSpec PyStreamEvent::kSpec{
    .name = "StreamEvent",
    .doc = kDoc,
    .slots = kSlots,
};

}  // namespace quorrel::python

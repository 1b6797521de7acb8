#include "python/py_stream_event.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "A single event from a streaming sandbox execution.\n\n"
    "Each event carries at most one kind of data: a stdout chunk, a stderr\n"
    "chunk, an exit code, or a timeout notification.";

}  // namespace

const ClassSpec PyStreamEvent::kSpec{
    .name = "StreamEvent",
    .doc = kDoc,
};

}  // namespace quorrel::python

#include "python/py_stream_iterator.h"

#include "python/py_stream_event.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "Python iterator over `StreamEvent` objects from a streaming execution.\n\n"
    "Created by `Sandbox.stream_execute()`; yields `StreamEvent` objects until\n"
    "the stream is exhausted.";

// Blocks, with the interpreter lock held, until the next event or the end of
// the stream; the end drops the stream for good.
PyObject* next_event(Object<PyStreamIterator>& self) {
  auto& receiver = self.state().receiver;
  if (!receiver) return nullptr;
  auto event = receiver->receive();
  if (!event) {
    receiver.reset();
    return nullptr;
  }
  return new_instance(PyStreamEvent::from_sdk(std::move(*event)));
}

PyType_Slot kSlots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<PyStreamIterator>())},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next<&next_event>())},
    {0, nullptr},
};

}  // namespace

const ClassSpec PyStreamIterator::kSpec{
    .name = "StreamIterator",
    .doc = kDoc,
    .unsendable = true,
    .slots = kSlots,
};

}  // namespace quorrel::python

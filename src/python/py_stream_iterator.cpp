#include "python/py_stream_iterator.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "Python iterator over `StreamEvent` objects from a streaming execution.\n\n"
    "Created by `Sandbox.stream_execute()`; yields `StreamEvent` objects until\n"
    "the stream is exhausted.";

}  // namespace

const ClassSpec PyStreamIterator::kSpec{
    .name = "StreamIterator",
    .doc = kDoc,
    .unsendable = true,
};

}  // namespace quorrel::python

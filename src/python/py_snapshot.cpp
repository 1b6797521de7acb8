#include "python/py_snapshot.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "An immutable sandbox snapshot that can be serialized and restored.\n\n"
    "Snapshots capture the complete sandbox state and can be used to create\n"
    "new sandbox instances via `Sandbox.from_snapshot()` or saved to disk\n"
    "for later restoration.";

}  // namespace

const ClassSpec PySnapshot::kSpec{
    .name = "Snapshot",
    .doc = kDoc,
};

}  // namespace quorrel::python

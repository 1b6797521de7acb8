#include "python/py_snapshot_ops.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] = "快照子模块（sandbox.snapshot）。\n\n聚合快照操作 API，通过代理模式调用 PySandbox 的已有方法。";

}  // namespace

const ClassSpec PySnapshotOps::kSpec{
    .name = "SnapshotOps",
    .doc = kDoc,
};

}  // namespace quorrel::python

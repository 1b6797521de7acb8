#include "python/py_process.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] = "进程子模块（sandbox.process）。\n\n聚合命令执行 API，通过代理模式调用 PySandbox 的已有方法。";

}  // namespace

const ClassSpec PyProcess::kSpec{
    .name = "Process",
    .doc = kDoc,
};

}  // namespace quorrel::python

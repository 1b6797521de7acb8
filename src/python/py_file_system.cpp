#include "python/py_file_system.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] = "文件系统子模块（sandbox.fs）。\n\n聚合文件操作 API，通过代理模式调用 PySandbox 的已有方法。";

}  // namespace

const ClassSpec PyFileSystem::kSpec{
    .name = "FileSystem",
    .doc = kDoc,
};

}  // namespace quorrel::python

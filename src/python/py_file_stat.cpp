#include "python/py_file_stat.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] = "文件元信息，由 Sandbox.stat() 返回。";

}  // namespace

const ClassSpec PyFileStat::kSpec{
    .name = "FileStat",
    .doc = kDoc,
};

}  // namespace quorrel::python

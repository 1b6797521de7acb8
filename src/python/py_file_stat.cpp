#include "python/py_file_stat.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] = "文件元信息，由 Sandbox.stat() 返回。";

PyGetSetDef kAttributes[] = {
    attribute<&PyFileStat::path>("path"),
    attribute<&PyFileStat::is_dir>("is_dir"),
    attribute<&PyFileStat::is_file>("is_file"),
    attribute<&PyFileStat::size>("size"),
    attribute<&PyFileStat::mode>("mode"),
    attribute<&PyFileStat::modified_ms>("modified_ms"),
    {},
};

PyType_Slot kSlots[] = {{Py_tp_getset, kAttributes}, {0, nullptr}};

}  // namespace

const ClassSpec PyFileStat::kSpec{
    .name = "FileStat",
    .doc = kDoc,
    .slots = kSlots,
};

}  // namespace quorrel::python

#include "python/py_dir_entry.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "A single directory entry returned by `Sandbox.list_dir()`.\n\n"
    "# Attributes\n\n"
    "* `name` - Entry name (last path component).\n"
    "* `file_type` - One of \"file\", \"dir\", \"symlink\", or \"other\".\n"
    "* `size` - Size in bytes.\n"
    "* `is_symlink` - Whether the entry itself is a symbolic link.";

PyGetSetDef kAttributes[] = {
    attribute<&PyDirEntry::name>("name"),
    attribute<&PyDirEntry::file_type>("file_type"),
    attribute<&PyDirEntry::size>("size"),
    attribute<&PyDirEntry::is_symlink>("is_symlink"),
    {},
};

PyType_Slot kSlots[] = {{Py_tp_getset, kAttributes}, {0, nullptr}};

}  // namespace

const ClassSpec PyDirEntry::kSpec{
    .name = "DirEntry",
    .doc = kDoc,
    .slots = kSlots,
};

}  // namespace quorrel::python

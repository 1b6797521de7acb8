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

}  // namespace

const ClassSpec PyDirEntry::kSpec{
    .name = "DirEntry",
    .doc = kDoc,
};

}  // namespace quorrel::python

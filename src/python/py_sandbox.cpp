#include "python/py_sandbox.h"

#include <optional>
#include <string>
#include <vector>

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "Sandbox(*, isolation=None, allowed_http_domains=None)\n--\n\n"
    "A secure sandbox for executing commands.\n\n"
    "Use it as a context manager so that it is closed at the end of the block:\n\n"
    "    with Sandbox(isolation=\"os\") as sb:\n"
    "        result = sb.execute(\"echo hello\", timeout=5.0)\n"
    "        print(result.stdout)\n\n"
    "# Arguments\n\n"
    "* `isolation` - \"auto\" (default), \"os\", \"wasm\" or \"microvm\".\n"
    "* `allowed_http_domains` - Host names that HTTPS requests may reach; a\n"
    "  pattern \"*.example.com\" matches every subdomain of example.com.";

// Arguments are converted (and type errors reported) here; building the
// configuration and the SDK sandbox comes with command execution.
PyObject* construct(PyTypeObject* type, std::optional<std::string> /*isolation*/,
                    std::optional<std::vector<std::string>> /*allowed_http_domains*/) {
  return new_instance(type, PySandbox{});
}

}  // namespace

const ClassSpec PySandbox::kSpec{
    .name = "Sandbox",
    .doc = kDoc,
    .unsendable = true,
    .subclassable = true,
    .constructor = constructor<&construct, kDoc, Optional<Text>, Optional<TextList>>(),
};

}  // namespace quorrel::python

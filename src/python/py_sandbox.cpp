#include "python/py_sandbox.h"

#include <optional>
#include <string>
#include <vector>

#include "python/exceptions.h"
#include "python/isolation_name.h"
#include "python/py_file_system.h"
#include "python/py_process.h"

namespace quorrel::python {

sdk::Sandbox* PySandbox::open() {
  if (!sdk) {
    raise(PyExc_RuntimeError, "Sandbox has been closed");
    return nullptr;
  }
  return &*sdk;
}

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

constexpr char kIsReadyDoc[] =
    "is_ready($self)\n--\n\n"
    "Whether the sandbox's back end exists and is ready for commands.\n\n"
    "Never raises and never creates a back end: False for a closed sandbox\n"
    "and for one whose back end has not been created yet.";
constexpr char kCloseDoc[] =
    "close($self)\n--\n\n"
    "Close the sandbox and destroy its back end. Closing twice does nothing.\n\n"
    "# Raises\n\n"
    "* `SandboxError` - If destroying the back end fails (the sandbox is closed anyway).";
constexpr char kEnterDoc[] = "__enter__($self)\n--\n\nReturn the sandbox itself.";
constexpr char kExitDoc[] =
    "__exit__($self, _exc_type, _exc, _traceback)\n--\n\n"
    "Close the sandbox; an exception that ended the block propagates.";

PyObject* construct(PyTypeObject* type, std::optional<std::string> isolation,
                    std::optional<std::vector<std::string>> allowed_http_domains) {
  auto builder = sdk::Config::builder();
  builder.isolation(sdk::IsolationLevel::Auto);
  if (isolation) {
    const std::string normalised = normalise_isolation_name(*isolation);
    const auto level = isolation_level_named(normalised);
    if (!level) {
      return raise(PyExc_ValueError,
                   "unknown isolation value: " + normalised + ". Valid values: auto, os, wasm, microvm");
    }
    builder.isolation(*level);
  }
  if (allowed_http_domains) builder.allowed_http_domains(std::move(*allowed_http_domains));
  auto sandbox = sdk::Sandbox::create(builder.build());
  if (!sandbox) return map_sdk_error(sandbox.error());
  return new_instance(type, PySandbox{std::move(*sandbox)});
}

PyObject* is_ready(Object<PySandbox>& self) {
  auto& sdk = self.state().sdk;
  // Every back end of this build (the OS level) is ready once it exists.
  return to_python(sdk.has_value() && sdk->inner() != nullptr);
}

PyObject* close(Object<PySandbox>& self) {
  auto& held = self.state().sdk;
  if (!held) Py_RETURN_NONE;
  sdk::Sandbox sandbox = std::move(*held);
  held.reset();
  auto inner = sandbox.take_inner();
  if (inner) {
    if (auto r = sdk::Sandbox::destroy_backend_inner(std::move(*inner)); !r) return map_sdk_error(r.error());
  }
  Py_RETURN_NONE;
}

PyObject* enter(Object<PySandbox>& self) { return Py_NewRef(self.py()); }

PyObject* exit(Object<PySandbox>& self, PyObject*, PyObject*, PyObject*) {
  auto& held = self.state().sdk;
  if (held) {
    sdk::Sandbox sandbox = std::move(*held);
    held.reset();
    if (auto r = sdk::Sandbox::destroy(std::move(sandbox)); !r) return map_sdk_error(r.error());
  }
  Py_RETURN_FALSE;
}

PyObject* fs(Object<PySandbox>& self) { return new_instance(PyFileSystem{{PyRef::borrow(self.py())}}); }

PyObject* process(Object<PySandbox>& self) { return new_instance(PyProcess{{PyRef::borrow(self.py())}}); }

PyMethodDef kMethods[] = {
    sandbox_execute_method(),
    sandbox_execute_code_method(),
    sandbox_stream_execute_method(),
    sandbox_wait_ready_method(),
    reading_method<&is_ready, kIsReadyDoc>(),
    method<&close, kCloseDoc>(),
    method<&enter, kEnterDoc>(),
    method<&exit, kExitDoc, Any, Any, Any>(),
    sandbox_read_file_method(),
    sandbox_write_file_method(),
    sandbox_list_dir_method(),
    sandbox_stat_method(),
    sandbox_file_exists_method(),
    sandbox_remove_file_method(),
    sandbox_rename_method(),
    sandbox_capture_snapshot_method(),
    sandbox_fork_method(),
    sandbox_http_request_method(),
    {},
};

PyGetSetDef kProperties[] = {
    property<&fs>("fs", "返回文件系统子模块。"),
    property<&process>("process", "返回进程子模块。"),
    {},
};

PyType_Slot kSlots[] = {{Py_tp_methods, kMethods}, {Py_tp_getset, kProperties}, {0, nullptr}};

}  // namespace

const ClassSpec PySandbox::kSpec{
    .name = "Sandbox",
    .doc = kDoc,
    .unsendable = true,
    .subclassable = true,
    .slots = kSlots,
    .constructor = constructor<&construct, kDoc, Optional<Text>, Optional<TextList>>(),
};

}  // namespace quorrel::python

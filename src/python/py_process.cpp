#include "python/py_process.h"

#include <map>
#include <optional>
#include <string>

#include "python/facade_call.h"
#include "python/py_execute_result.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] = "进程子模块（sandbox.process）。\n\n聚合命令执行 API，通过代理模式调用 PySandbox 的已有方法。";

constexpr char kRunDoc[] = "run($self, command, env=None, timeout=None, cwd=None)\n--\n\n执行 shell 命令。";
constexpr char kRunCodeDoc[] =
    "run_code($self, language, code, *, env=None, timeout=None, cwd=None)\n--\n\n执行代码片段。";
constexpr char kStreamDoc[] = "stream($self, command)\n--\n\n流式执行命令。";

using Env = std::optional<std::map<std::string, std::string>>;

// A new ExecuteResult with the values of the one a forwarded call returned.
PyObject* copy_execute_result(PyRef result) {
  if (!result) return nullptr;
  auto* instance = instance_of<PyExecuteResult>(result.get());
  if (instance == nullptr) {
    raise_conversion_error(result.get(), "ExecuteResult");
    return nullptr;
  }
  return new_instance(PyExecuteResult(instance->state()));
}

PyObject* run(Object<PyProcess>& self, std::string command, Env env, std::optional<double> timeout,
              std::optional<std::string> cwd) {
  return copy_execute_result(call_method(self.state().sandbox.get(), "execute",
                                         {to_python(command), to_python(env), to_python(timeout), to_python(cwd)}));
}

PyObject* run_code(Object<PyProcess>& self, std::string language, std::string code, Env env,
                   std::optional<double> timeout, std::optional<std::string> cwd) {
  // Only the options that were given become keywords.
  PyRef keywords = PyRef::steal(PyDict_New());
  if (!keywords) return nullptr;
  auto put = [&](const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(keywords.get(), key, owned.get()) == 0;
  };
  if (env && !put("env", to_python(*env))) return nullptr;
  if (timeout && !put("timeout", to_python(*timeout))) return nullptr;
  if (cwd && !put("cwd", to_python(*cwd))) return nullptr;
  return copy_execute_result(call_method(self.state().sandbox.get(), "execute_code",
                                         {to_python(language), to_python(code)}, keywords.get()));
}

PyObject* stream(Object<PyProcess>& self, std::string command) {
  return call_method(self.state().sandbox.get(), "stream_execute", {to_python(command)}).release();
}

PyMethodDef kMethods[] = {
    method<&run, kRunDoc, Text, Optional<TextDict>, Optional<Float>, Optional<Text>>(),
    method<&run_code, kRunCodeDoc, Text, Text, Optional<TextDict>, Optional<Float>, Optional<Text>>(),
    method<&stream, kStreamDoc, Text>(),
    {},
};

PyType_Slot kSlots[] = {{Py_tp_methods, kMethods}, {0, nullptr}};

}  // namespace

const ClassSpec PyProcess::kSpec{
    .name = "Process",
    .doc = kDoc,
    .slots = kSlots,
};

}  // namespace quorrel::python

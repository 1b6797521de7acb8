// Command execution methods of Sandbox: execute, execute_code,
// stream_execute and wait_ready.
#include <map>
#include <optional>
#include <string>

#include "python/code_command.h"
#include "python/conversions.h"
#include "python/exceptions.h"
#include "python/py_execute_result.h"
#include "python/py_sandbox.h"
#include "python/py_stream_iterator.h"
#include "sdk/command.h"

namespace quorrel::python {

namespace {

constexpr char kExecuteDoc[] =
    "execute($self, command, env=None, timeout=None, cwd=None)\n--\n\n"
    "Execute a command inside the sandbox.\n\n"
    "Without options the command is split into words like a shell does, but\n"
    "no shell runs it. With `cwd` it is run by /bin/sh after changing into\n"
    "that directory, so pipes and redirections work.\n\n"
    "# Arguments\n\n"
    "* `command` - The command line.\n"
    "* `env` - Extra environment variables (dict of str to str).\n"
    "* `timeout` - Limit for this command in seconds (default: 30).\n"
    "* `cwd` - Working directory inside the sandbox (no \"..\").\n\n"
    "# Returns\n\n"
    "An `ExecuteResult`. A non-zero exit code or a timeout is not an error.\n\n"
    "# Raises\n\n"
    "* `ValueError` - For an invalid timeout, cwd or environment, or a command\n"
    "  with unbalanced quotes.\n"
    "* `RuntimeError` - If the sandbox has been closed.\n"
    "* `SandboxError` - If the back end fails.";

constexpr char kExecuteCodeDoc[] =
    "execute_code($self, language, code, *, env=None, timeout=None, cwd=None)\n--\n\n"
    "Execute a code snippet with the interpreter of a language.\n\n"
    "# Arguments\n\n"
    "* `language` - bash, sh, shell, python, python3, py, javascript, js,\n"
    "  node or nodejs (exact, case-sensitive).\n"
    "* `code` - The source text, passed to the interpreter as one argument.\n"
    "* `env`, `timeout`, `cwd` - As for `execute`.\n\n"
    "# Returns\n\n"
    "An `ExecuteResult`.\n\n"
    "# Raises\n\n"
    "* `ValueError` - For an unsupported language or code containing NUL.\n"
    "* `RuntimeError` - If the sandbox has been closed.";

constexpr char kStreamExecuteDoc[] =
    "stream_execute($self, command)\n--\n\n"
    "Execute a command and return a streaming iterator of events.\n\n"
    "# Arguments\n\n"
    "* `command` - The command line.\n\n"
    "# Returns\n\n"
    "A `StreamIterator` yielding `StreamEvent` objects: output chunks, then\n"
    "an exit or timeout event.";

constexpr char kWaitReadyDoc[] =
    "wait_ready($self, timeout_secs=None)\n--\n\n"
    "Create the back end if needed and wait until it is ready.\n\n"
    "# Arguments\n\n"
    "* `timeout_secs` - Seconds to wait (default: 30).\n\n"
    "# Raises\n\n"
    "* `ValueError` - For an invalid or zero timeout.\n"
    "* `SandboxLifecycleError` - If the back end does not become ready.";

using Env = std::optional<std::map<std::string, std::string>>;

// Steps shared by execute and execute_code once the command line is known.
PyObject* run_command(Object<PySandbox>& self, const std::string& command, Env env, std::optional<double> timeout,
                      std::optional<std::string> cwd) {
  sdk::Sandbox* sandbox = self.state().open();
  if (sandbox == nullptr) return nullptr;
  if (cwd) {
    if (cwd->find("..") != std::string::npos) return raise(PyExc_ValueError, "cwd must not contain '..' path traversal");
    if (!sdk::quote_shell_word(*cwd)) return raise(PyExc_ValueError, "cwd contains characters that cannot be shell-escaped");
  }
  std::optional<core::Duration> duration;
  if (timeout) {
    duration = parse_python_timeout(*timeout);
    if (!duration) return nullptr;
  }
  const bool with_options = env || timeout || cwd;
  auto result = with_options ? sandbox->execute_with_sdk_options(
                                   command, sdk::ExecuteOptions{.env = env.value_or(std::map<std::string, std::string>{}),
                                                                .timeout = duration,
                                                                .cwd = std::move(cwd)})
                             : sandbox->execute(command);
  if (!result) return map_sdk_error(result.error());
  return new_instance(PyExecuteResult::from_sdk(*result));
}

PyObject* execute(Object<PySandbox>& self, std::string command, Env env, std::optional<double> timeout,
                  std::optional<std::string> cwd) {
  return run_command(self, command, std::move(env), timeout, std::move(cwd));
}

PyObject* execute_code(Object<PySandbox>& self, std::string language, std::string code, Env env,
                       std::optional<double> timeout, std::optional<std::string> cwd) {
  const auto quoted = sdk::quote_shell_word(code);
  if (!quoted) return raise(PyExc_ValueError, "code contains characters that cannot be shell-escaped");
  const auto command = code_command(language, *quoted);
  if (!command) {
    return raise(PyExc_ValueError,
                 "unsupported language: " + language + ". Supported: " + std::string(kSupportedLanguages));
  }
  return run_command(self, *command, std::move(env), timeout, std::move(cwd));
}

PyObject* stream_execute(Object<PySandbox>& self, std::string command) {
  sdk::Sandbox* sandbox = self.state().open();
  if (sandbox == nullptr) return nullptr;
  auto receiver = sandbox->stream_execute(command);
  if (!receiver) return map_sdk_error(receiver.error());
  return new_instance(PyStreamIterator{std::move(*receiver)});
}

PyObject* wait_ready(Object<PySandbox>& self, std::optional<double> timeout_secs) {
  sdk::Sandbox* sandbox = self.state().open();
  if (sandbox == nullptr) return nullptr;
  const auto duration = parse_python_timeout(timeout_secs.value_or(30.0));
  if (!duration) return nullptr;
  if (duration->is_zero()) return raise(PyExc_ValueError, "wait_ready timeout must not be zero");
  if (auto r = sandbox->wait_ready(*duration); !r) return map_sdk_error(r.error());
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef sandbox_execute_method() {
  return method<&execute, kExecuteDoc, Text, Optional<TextDict>, Optional<Float>, Optional<Text>>();
}

PyMethodDef sandbox_execute_code_method() {
  return method<&execute_code, kExecuteCodeDoc, Text, Text, Optional<TextDict>, Optional<Float>, Optional<Text>>();
}

PyMethodDef sandbox_stream_execute_method() { return method<&stream_execute, kStreamExecuteDoc, Text>(); }

PyMethodDef sandbox_wait_ready_method() { return method<&wait_ready, kWaitReadyDoc, Optional<Float>>(); }

}  // namespace quorrel::python

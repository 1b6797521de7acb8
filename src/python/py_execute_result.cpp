#include "python/py_execute_result.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "Result of a command executed in the sandbox.\n\n"
    "`stdout` and `stderr` are the output decoded as UTF-8, with invalid\n"
    "sequences replaced (lossy). `exit_code` is -1 when unavailable (for\n"
    "example on timeout).";

PyGetSetDef kAttributes[] = {
    attribute<&PyExecuteResult::stdout_text>("stdout", "Standard output, decoded as UTF-8 (lossy)."),
    attribute<&PyExecuteResult::stderr_text>("stderr", "Standard error, decoded as UTF-8 (lossy)."),
    attribute<&PyExecuteResult::exit_code>("exit_code", "Exit code, or -1 when unavailable."),
    attribute<&PyExecuteResult::timed_out>("timed_out", "Whether the command ran out of time."),
    attribute<&PyExecuteResult::elapsed>("elapsed", "Execution time in seconds, or None."),
    {},
};

PyType_Slot kSlots[] = {{Py_tp_getset, kAttributes}, {0, nullptr}};

}  // namespace

PyExecuteResult PyExecuteResult::from_sdk(const sdk::ExecuteResult& result) {
  return PyExecuteResult{
      .stdout_text = result.stdout_data,
      .stderr_text = result.stderr_data,
      .exit_code = result.exit_code.value_or(-1),
      .timed_out = result.timed_out,
      .elapsed = result.elapsed.is_zero() ? std::nullopt : std::optional<double>(result.elapsed.as_secs_f64()),
  };
}

const ClassSpec PyExecuteResult::kSpec{
    .name = "ExecuteResult",
    .doc = kDoc,
    .slots = kSlots,
};

}  // namespace quorrel::python

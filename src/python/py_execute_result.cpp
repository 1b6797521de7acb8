#include "python/py_execute_result.h"

namespace quorrel::python {

namespace {

constexpr char kDoc[] =
    "Result of a command executed in the sandbox.\n\n"
    "`stdout` and `stderr` are the output decoded as UTF-8, with invalid\n"
    "sequences replaced (lossy). `exit_code` is -1 when unavailable (for\n"
    "example on timeout).";

}  // namespace

const ClassSpec PyExecuteResult::kSpec{
    .name = "ExecuteResult",
    .doc = kDoc,
};

}  // namespace quorrel::python

#pragma once

#include <Python.h>

#include <string_view>

#include "sdk/error.h"

namespace quorrel::python {

// The module's exception types, created once per process on first use (the
// base before its subclasses). A failure to create one aborts the process.
PyObject* sandbox_error_type();            // quorrel.SandboxError(Exception)
PyObject* sandbox_process_error_type();    // quorrel.SandboxProcessError(SandboxError)
PyObject* sandbox_http_error_type();       // quorrel.SandboxHttpError(SandboxError)
PyObject* sandbox_lifecycle_error_type();  // quorrel.SandboxLifecycleError(SandboxError)

// Sets `type(message)` as the pending exception. The message is decoded as
// UTF-8 with invalid sequences replaced, so any byte text can be raised.
// Always returns nullptr, for `return raise(...)`.
PyObject* raise(PyObject* type, std::string_view message);

// The one place where SDK errors become Python exceptions. Sets the pending
// exception and returns nullptr.
PyObject* map_sdk_error(const sdk::SdkError& error);

// The exception class map_sdk_error chooses (a borrowed reference).
PyObject* exception_type_for(const sdk::SdkError& error);

}  // namespace quorrel::python

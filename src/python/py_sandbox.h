#pragma once

#include <Python.h>

#include <optional>

#include "python/py_class.h"
#include "sdk/sandbox.h"

namespace quorrel::python {

// The Python Sandbox object; bound to the thread that created it. It owns
// one SDK sandbox until it is closed, for good.
struct PySandbox {
  static const ClassSpec kSpec;

  std::optional<sdk::Sandbox> sdk;  // nothing once closed

  // The SDK sandbox, or null with RuntimeError "Sandbox has been closed".
  sdk::Sandbox* open();
};

// Method table entries of the Sandbox class, one group per file.
// sandbox_execution.cpp
PyMethodDef sandbox_execute_method();
PyMethodDef sandbox_execute_code_method();
PyMethodDef sandbox_stream_execute_method();
PyMethodDef sandbox_wait_ready_method();
// sandbox_files.cpp
PyMethodDef sandbox_read_file_method();
PyMethodDef sandbox_write_file_method();
PyMethodDef sandbox_list_dir_method();
PyMethodDef sandbox_stat_method();
PyMethodDef sandbox_file_exists_method();
PyMethodDef sandbox_remove_file_method();
PyMethodDef sandbox_rename_method();
// sandbox_microvm_only.cpp
PyMethodDef sandbox_capture_snapshot_method();
PyMethodDef sandbox_fork_method();
PyMethodDef sandbox_http_request_method();

}  // namespace quorrel::python

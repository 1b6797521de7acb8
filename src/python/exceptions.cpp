#include "python/exceptions.h"

#include <cerrno>

#include "python/py_ref.h"

namespace quorrel::python {

namespace {

PyObject* new_exception_type(const char* qualified_name, PyObject* base) {
  PyObject* type = PyErr_NewExceptionWithDoc(qualified_name, nullptr, base, nullptr);
  if (type == nullptr) Py_FatalError("Failed to initialize new exception type.");
  return type;
}

}  // namespace

// Each type is kept alive for the life of the process by its static.
PyObject* sandbox_error_type() {
  static PyObject* type = new_exception_type("quorrel.SandboxError", PyExc_Exception);
  return type;
}

PyObject* sandbox_process_error_type() {
  static PyObject* type = new_exception_type("quorrel.SandboxProcessError", sandbox_error_type());
  return type;
}

PyObject* sandbox_http_error_type() {
  static PyObject* type = new_exception_type("quorrel.SandboxHttpError", sandbox_error_type());
  return type;
}

PyObject* sandbox_lifecycle_error_type() {
  static PyObject* type = new_exception_type("quorrel.SandboxLifecycleError", sandbox_error_type());
  return type;
}

PyObject* raise(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

namespace {

PyObject* type_for_code(sdk::ErrorCode code) {
  using C = sdk::ErrorCode;
  switch (code) {
    case C::CommandTimeout: return PyExc_TimeoutError;
    case C::CommandFailed: return sandbox_process_error_type();
    case C::FileNotFound: return PyExc_FileNotFoundError;
    case C::FilePermissionDenied: return PyExc_PermissionError;
    case C::HttpDeniedHost: return sandbox_http_error_type();
    case C::HttpTimeout: return PyExc_TimeoutError;
    case C::HttpBodyTooLarge: return sandbox_http_error_type();
    case C::HttpConnectFailed: return PyExc_ConnectionError;
    case C::HttpTlsFailed: return PyExc_ConnectionError;
    case C::HttpInvalidUrl: return sandbox_http_error_type();
    case C::SandboxNotReady: return sandbox_lifecycle_error_type();
    case C::SandboxDestroyed: return sandbox_lifecycle_error_type();
    case C::BackendFailure: return sandbox_lifecycle_error_type();
    case C::InvalidConfig: return PyExc_ValueError;
    case C::UnsupportedPlatform: return PyExc_NotImplementedError;
  }
  return sandbox_lifecycle_error_type();
}

PyObject* type_for_io(const core::IoError& io) {
  const auto err = io.raw_os_error();
  if (io.kind() == core::IoErrorKind::NotFound || err == ENOENT) return PyExc_FileNotFoundError;
  if (io.kind() == core::IoErrorKind::PermissionDenied || err == EPERM || err == EACCES) {
    return PyExc_PermissionError;
  }
  return PyExc_RuntimeError;
}

}  // namespace

PyObject* exception_type_for(const sdk::SdkError& error) {
  using K = sdk::SdkError::Kind;
  switch (error.kind()) {
    case K::BackendUnavailable: return PyExc_NotImplementedError;
    case K::Config: return PyExc_ValueError;
    case K::Io: return error.io_error() ? type_for_io(*error.io_error()) : PyExc_RuntimeError;
    case K::Coded: return type_for_code(error.code());
  }
  return PyExc_RuntimeError;
}

PyObject* map_sdk_error(const sdk::SdkError& error) {
  // The display text is the message rule: the payload, the OS error text, or
  // "{message}" / "{message}. Suggestion: {suggestion}".
  return raise(exception_type_for(error), error.to_string());
}

}  // namespace quorrel::python

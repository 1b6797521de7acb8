// _quorrel_testing: a test-only extension module that exposes the module's
// conversion, error-mapping and class machinery to pytest. It is built with
// the test suites, never installed, and shares no state with `quorrel`
// (its exception types are this module's own copies of quorrel's).
#include <Python.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/conversions.h"
#include "python/exceptions.h"
#include "python/py_class.h"
#include "python/py_ref.h"

namespace quorrel::python::testing {

namespace {

// ---- helpers -----------------------------------------------------------

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  // Takes over the items, some of which may be null after a failure.
  std::vector<PyRef> owned;
  bool failed = false;
  for (PyObject* item : items) {
    failed = failed || item == nullptr;
    owned.push_back(PyRef::steal(item));
  }
  if (failed) return nullptr;
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(owned.size()));
  if (tuple == nullptr) return nullptr;
  for (std::size_t i = 0; i < owned.size(); ++i)
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), owned[i].release());
  return tuple;
}

// ---- ProbeResult: a result class with read-only attributes ------------

struct PyProbeResult {
  static const ClassSpec kSpec;
  std::string text;
  Bytes data;
  std::int64_t count = 0;
  bool flag = false;
  std::optional<double> elapsed;
  std::map<std::string, std::string> headers;
};

PyGetSetDef kResultAttributes[] = {
    attribute<&PyProbeResult::text>("text", "The text."),
    attribute<&PyProbeResult::data>("data"),
    attribute<&PyProbeResult::count>("count"),
    attribute<&PyProbeResult::flag>("flag"),
    attribute<&PyProbeResult::elapsed>("elapsed"),
    attribute<&PyProbeResult::headers>("headers"),
    {},
};
PyType_Slot kResultSlots[] = {{Py_tp_getset, kResultAttributes}, {0, nullptr}};

// ---- Probe: an unsendable class exercising every kind of member --------

struct PyProbe {
  static const ClassSpec kSpec;
  std::int64_t calls = 0;  // completed exclusive calls
  std::int64_t next = 0;   // iteration position
};

PyObject* optional_text(const std::optional<std::string>& v) {
  return v ? to_python(std::string_view(*v)) : Py_NewRef(Py_None);
}
PyObject* optional_float(const std::optional<double>& v) { return v ? to_python(*v) : Py_NewRef(Py_None); }
PyObject* optional_dict(const std::optional<std::map<std::string, std::string>>& v) {
  return v ? to_python(*v) : Py_NewRef(Py_None);
}
PyObject* optional_bytes(const std::optional<std::string>& v) { return v ? to_python(Bytes{*v}) : Py_NewRef(Py_None); }

constexpr char kExecuteDoc[] = "execute($self, command, env=None, timeout=None, cwd=None)\n--\n\nEcho the arguments.";
PyObject* execute(Object<PyProbe>& self, std::string command, std::optional<std::map<std::string, std::string>> env,
                  std::optional<double> timeout, std::optional<std::string> cwd) {
  ++self.state().calls;
  return tuple_of(
      {to_python(std::string_view(command)), optional_dict(env), optional_float(timeout), optional_text(cwd)});
}

constexpr char kExecuteCodeDoc[] =
    "execute_code($self, language, code, *, env=None, timeout=None, cwd=None)\n--\n\nEcho the arguments.";
PyObject* execute_code(Object<PyProbe>& self, std::string language, std::string code,
                       std::optional<std::map<std::string, std::string>> env, std::optional<double> timeout,
                       std::optional<std::string> cwd) {
  ++self.state().calls;
  return tuple_of({to_python(std::string_view(language)), to_python(std::string_view(code)), optional_dict(env),
                   optional_float(timeout), optional_text(cwd)});
}

constexpr char kRunDoc[] = "run($self, command, /, *, timeout=None)\n--\n\nEcho the arguments.";
PyObject* run(Object<PyProbe>& self, std::string command, std::optional<double> timeout) {
  ++self.state().calls;
  return tuple_of({to_python(std::string_view(command)), optional_float(timeout)});
}

constexpr char kConfigureDoc[] = "configure($self, *, name, domains=None)\n--\n\nEcho the arguments.";
PyObject* configure(Object<PyProbe>& self, std::string name, std::optional<std::vector<std::string>> domains) {
  ++self.state().calls;
  PyObject* list = domains ? to_python(*domains) : Py_NewRef(Py_None);
  return tuple_of({to_python(std::string_view(name)), list});
}

constexpr char kDataDoc[] = "data($self, data, body=None, snapshot=None)\n--\n\nEcho the byte arguments.";
PyObject* data(Object<PyProbe>& self, std::string data, std::optional<std::string> body,
               std::optional<std::string> snapshot) {
  ++self.state().calls;
  return tuple_of({to_python(Bytes{data}), optional_bytes(body), optional_bytes(snapshot)});
}

constexpr char kCallBackDoc[] = "call_back($self, callback)\n--\n\nCall callback() while holding the object.";
PyObject* call_back(Object<PyProbe>& self, PyObject* callback) {
  ++self.state().calls;
  return PyObject_CallNoArgs(callback);
}

constexpr char kPeekDoc[] = "peek($self, callback=None)\n--\n\nRead the object; call callback() meanwhile.";
PyObject* peek(Object<PyProbe>& self, std::optional<PyObject*> callback) {
  if (callback) {
    PyRef ignored = PyRef::steal(PyObject_CallNoArgs(*callback));
    if (!ignored) return nullptr;
  }
  return to_python(self.state().calls);
}

constexpr char kMakeDoc[] = "make($cls, calls=None)\n--\n\nA new instance of cls.";
PyObject* make(PyTypeObject* cls, std::optional<long long> calls) {
  return new_instance(cls, PyProbe{.calls = calls.value_or(0)});
}

constexpr char kResultDoc[] =
    "result($self, text, data, count, flag, elapsed=None, headers=None)\n--\n\nA ProbeResult.";
PyObject* result(Object<PyProbe>&, std::string text, std::string data, long long count, PyObject* flag,
                 std::optional<double> elapsed, std::optional<std::map<std::string, std::string>> headers) {
  const int truth = PyObject_IsTrue(flag);
  if (truth < 0) return nullptr;
  return new_instance(PyProbeResult{.text = std::move(text),
                                    .data = Bytes{std::move(data)},
                                    .count = count,
                                    .flag = truth == 1,
                                    .elapsed = elapsed,
                                    .headers = headers.value_or(std::map<std::string, std::string>{})});
}

PyObject* calls_property(Object<PyProbe>& self) { return to_python(self.state().calls); }

PyObject* next_item(Object<PyProbe>& self) {
  if (self.state().next >= 3) return nullptr;  // StopIteration
  return to_python(self.state().next++);
}

constexpr char kCallDoc[] = "__call__($self)\n--\n\n";
PyObject* call(Object<PyProbe>&) { return to_python(std::string_view("called")); }

constexpr char kProbeDoc[] = "Probe()\n--\n\nAn unsendable object for tests.";
PyObject* construct_probe(PyTypeObject* type) { return new_instance(type, PyProbe{}); }

PyMethodDef kProbeMethods[] = {
    method<&execute, kExecuteDoc, Text, Optional<TextDict>, Optional<Float>, Optional<Text>>(),
    method<&execute_code, kExecuteCodeDoc, Text, Text, Optional<TextDict>, Optional<Float>, Optional<Text>>(),
    method<&run, kRunDoc, Text, Optional<Float>>(),
    method<&configure, kConfigureDoc, Text, Optional<TextList>>(),
    method<&data, kDataDoc, BytesOrText, Optional<ByteSequence>, Optional<BytesOnly>>(),
    method<&call_back, kCallBackDoc, Any>(),
    reading_method<&peek, kPeekDoc, Optional<Any>>(),
    class_method<&make, kMakeDoc, Optional<Integer>>(),
    method<&result, kResultDoc, Text, BytesOrText, Integer, Any, Optional<Float>, Optional<TextDict>>(),
    {},
};
PyGetSetDef kProbeProperties[] = {property<&calls_property>("calls", "Completed exclusive calls."), {}};
PyType_Slot kProbeSlots[] = {
    {Py_tp_methods, kProbeMethods},
    {Py_tp_getset, kProbeProperties},
    {Py_tp_iter, reinterpret_cast<void*>(iter_self<PyProbe>())},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next<&next_item>())},
    {Py_tp_call, reinterpret_cast<void*>(call_slot<&call, kCallDoc>())},
    {0, nullptr},
};

// ---- module functions ---------------------------------------------------

constexpr char kParseTimeoutDoc[] = "parse_python_timeout(seconds, /)\n--\n\n(secs, nanos) of the duration.";
PyObject* parse_timeout(double seconds) {
  auto duration = parse_python_timeout(seconds);
  if (!duration) return nullptr;
  return tuple_of({to_python(duration->secs), to_python(duration->nanos)});
}

constexpr char kExtractDoc[] = "extract_bytes_data(value, /)\n--\n\nThe bytes of a str or bytes.";
PyObject* extract(PyObject* value) {
  auto bytes = extract_bytes_data(value);
  if (!bytes) return nullptr;
  return to_python(Bytes{std::move(*bytes)});
}

constexpr std::array<std::pair<std::string_view, sdk::ErrorCode>, 15> kCodes{{
    {"CommandTimeout", sdk::ErrorCode::CommandTimeout},
    {"CommandFailed", sdk::ErrorCode::CommandFailed},
    {"FileNotFound", sdk::ErrorCode::FileNotFound},
    {"FilePermissionDenied", sdk::ErrorCode::FilePermissionDenied},
    {"HttpDeniedHost", sdk::ErrorCode::HttpDeniedHost},
    {"HttpTimeout", sdk::ErrorCode::HttpTimeout},
    {"HttpBodyTooLarge", sdk::ErrorCode::HttpBodyTooLarge},
    {"HttpConnectFailed", sdk::ErrorCode::HttpConnectFailed},
    {"HttpTlsFailed", sdk::ErrorCode::HttpTlsFailed},
    {"HttpInvalidUrl", sdk::ErrorCode::HttpInvalidUrl},
    {"SandboxNotReady", sdk::ErrorCode::SandboxNotReady},
    {"SandboxDestroyed", sdk::ErrorCode::SandboxDestroyed},
    {"BackendFailure", sdk::ErrorCode::BackendFailure},
    {"InvalidConfig", sdk::ErrorCode::InvalidConfig},
    {"UnsupportedPlatform", sdk::ErrorCode::UnsupportedPlatform},
}};

constexpr std::array<std::pair<std::string_view, core::IoErrorKind>, 13> kIoKinds{{
    {"NotFound", core::IoErrorKind::NotFound},
    {"PermissionDenied", core::IoErrorKind::PermissionDenied},
    {"AlreadyExists", core::IoErrorKind::AlreadyExists},
    {"InvalidInput", core::IoErrorKind::InvalidInput},
    {"InvalidData", core::IoErrorKind::InvalidData},
    {"TimedOut", core::IoErrorKind::TimedOut},
    {"UnexpectedEof", core::IoErrorKind::UnexpectedEof},
    {"BrokenPipe", core::IoErrorKind::BrokenPipe},
    {"Interrupted", core::IoErrorKind::Interrupted},
    {"WouldBlock", core::IoErrorKind::WouldBlock},
    {"OutOfMemory", core::IoErrorKind::OutOfMemory},
    {"Unsupported", core::IoErrorKind::Unsupported},
    {"Other", core::IoErrorKind::Other},
}};

template <class Table>
auto lookup(const Table& table, std::string_view name) -> std::optional<typename Table::value_type::second_type> {
  for (const auto& [key, value] : table) {
    if (key == name) return value;
  }
  return std::nullopt;
}

constexpr char kRaiseSdkErrorDoc[] =
    "raise_sdk_error(kind, message=None, *, code=None, suggestion=None, errno=None, io_kind=None)\n--\n\n"
    "Raise what map_sdk_error makes of an SdkError. kind: coded, backend_unavailable, config, io.";
PyObject* raise_sdk_error(std::string kind, std::optional<std::string> message, std::optional<std::string> code,
                          std::optional<std::string> suggestion, std::optional<long long> err,
                          std::optional<std::string> io_kind) {
  const std::string text = message.value_or("");
  if (kind == "coded") {
    const auto c = lookup(kCodes, code.value_or(""));
    if (!c) return raise(PyExc_LookupError, "unknown code");
    return map_sdk_error(sdk::SdkError::coded(*c, text, suggestion));
  }
  if (kind == "backend_unavailable") return map_sdk_error(sdk::SdkError::backend_unavailable(text));
  if (kind == "config") return map_sdk_error(sdk::SdkError::config(text));
  if (kind == "io") {
    if (err) return map_sdk_error(sdk::SdkError::io(core::IoError::from_errno(static_cast<int>(*err))));
    const auto k = lookup(kIoKinds, io_kind.value_or(""));
    if (!k) return raise(PyExc_LookupError, "unknown io kind");
    return map_sdk_error(sdk::SdkError::io(core::IoError::custom(*k, text)));
  }
  return raise(PyExc_LookupError, "unknown kind");
}

PyMethodDef kFunctions[] = {
    function<&parse_timeout, kParseTimeoutDoc, Float>(),
    function<&extract, kExtractDoc, Any>(),
    function<&raise_sdk_error, kRaiseSdkErrorDoc, Text, Optional<Text>, Optional<Text>, Optional<Text>,
             Optional<Integer>, Optional<Text>>(),
    {},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_quorrel_testing", "", 0, kFunctions, nullptr, nullptr, nullptr, nullptr};

PyObject* init() {
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  const std::pair<const char*, PyObject*> members[] = {
      {"Probe", reinterpret_cast<PyObject*>(type_object<PyProbe>())},
      {"ProbeResult", reinterpret_cast<PyObject*>(type_object<PyProbeResult>())},
      {"SandboxError", sandbox_error_type()},
      {"SandboxProcessError", sandbox_process_error_type()},
      {"SandboxHttpError", sandbox_http_error_type()},
      {"SandboxLifecycleError", sandbox_lifecycle_error_type()},
  };
  for (const auto& [name, value] : members) {
    if (PyModule_AddObjectRef(module.get(), name, value) < 0) return nullptr;
  }
  return module.release();
}

}  // namespace

const ClassSpec PyProbeResult::kSpec{.name = "ProbeResult", .doc = "A result object for tests.", .slots = kResultSlots};
const ClassSpec PyProbe::kSpec{
    .name = "Probe",
    .doc = kProbeDoc,
    .unsendable = true,
    .subclassable = true,
    .slots = kProbeSlots,
    .constructor = constructor<&construct_probe, kProbeDoc>(),
};

}  // namespace quorrel::python::testing

PyMODINIT_FUNC PyInit__quorrel_testing() { return quorrel::python::testing::init(); }

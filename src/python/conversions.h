#pragma once

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/duration.h"

namespace quorrel::python {

// Seconds given from Python as a duration. NaN, infinities, zeros, negative
// values and values of 2^64 seconds or more raise ValueError "timeout must be
// a finite positive float" and give nullopt. Otherwise the value is rounded
// to the nearest nanosecond (ties to even); a positive value below half a
// nanosecond becomes a zero duration, which callers check when they need to.
std::optional<core::Duration> parse_python_timeout(double seconds);

// The same rule without Python: nullopt for a refused value.
std::optional<core::Duration> duration_from_seconds(double seconds);

// A bytes object (or subclass) as its bytes, a str as its UTF-8 encoding.
// Anything else raises TypeError "data must be str or bytes" and gives
// nullopt; so does a str the codec refuses (lone surrogates), with the
// codec's own error.
std::optional<std::string> extract_bytes_data(PyObject* value);

// The name of an object's type, as used in conversion error messages.
std::string type_name_of(PyObject* object);

// ---- C++ values to new Python objects (nullptr with an exception pending) ----

// A byte string that Python sees as bytes (plain std::string becomes str).
struct Bytes {
  std::string data;
  friend bool operator==(const Bytes&, const Bytes&) = default;
};

// str, decoded as UTF-8 with every invalid sequence replaced by U+FFFD.
PyObject* to_python(std::string_view text);
PyObject* to_python(const Bytes& bytes);
PyObject* to_python(bool value);
PyObject* to_python(double value);
PyObject* to_python(std::int64_t value);
PyObject* to_python(std::uint64_t value);
inline PyObject* to_python(std::int32_t value) { return to_python(static_cast<std::int64_t>(value)); }
inline PyObject* to_python(std::uint32_t value) { return to_python(static_cast<std::uint64_t>(value)); }
// dict of str to str.
PyObject* to_python(const std::map<std::string, std::string>& map);

// None when empty.
template <class V>
PyObject* to_python(const std::optional<V>& value) {
  if (!value) Py_RETURN_NONE;
  return to_python(*value);
}

// A new list.
template <class V>
PyObject* to_python(const std::vector<V>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = to_python(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

}  // namespace quorrel::python

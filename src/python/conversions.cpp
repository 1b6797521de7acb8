#include "python/conversions.h"

#include <cmath>

#include "python/exceptions.h"
#include "python/py_ref.h"

namespace quorrel::python {

std::optional<core::Duration> duration_from_seconds(double seconds) {
  // The comparison also refuses NaN and both zeros.
  if (!(seconds > 0.0) || !std::isfinite(seconds)) return std::nullopt;
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (seconds >= kTwoTo64) return std::nullopt;

  const double whole = std::floor(seconds);
  auto secs = static_cast<std::uint64_t>(whole);
  const double fraction = seconds - whole;  // exact for every double
  std::uint64_t nanos = 0;
  if (fraction > 0.0) {
    // fraction = mantissa * 2^-shift exactly, with a 53-bit integer mantissa.
    int exponent = 0;
    const double normalized = std::frexp(fraction, &exponent);  // in [0.5, 1)
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(normalized, 53));
    const int shift = 53 - exponent;  // >= 53 because fraction < 1
    // mantissa * 1e9 < 2^83: below half a nanosecond once the shift passes 84.
    if (shift <= 84) {
      const unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * 1'000'000'000u;
      const unsigned __int128 one = 1;
      const unsigned __int128 quotient = scaled >> shift;
      const unsigned __int128 remainder = scaled & ((one << shift) - 1);
      const unsigned __int128 half = one << (shift - 1);
      nanos = static_cast<std::uint64_t>(quotient);
      if (remainder > half || (remainder == half && (nanos & 1) != 0)) ++nanos;
    }
  }
  if (nanos == 1'000'000'000) {
    ++secs;  // cannot overflow: a value with a fraction is below 2^53
    nanos = 0;
  }
  return core::Duration{secs, static_cast<std::uint32_t>(nanos)};
}

std::optional<core::Duration> parse_python_timeout(double seconds) {
  auto duration = duration_from_seconds(seconds);
  if (!duration) raise(PyExc_ValueError, "timeout must be a finite positive float");
  return duration;
}

std::optional<std::string> extract_bytes_data(PyObject* value) {
  if (PyBytes_Check(value)) {
    return std::string(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
  }
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
  }
  raise(PyExc_TypeError, "data must be str or bytes");
  return std::nullopt;
}

std::string type_name_of(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(object)->tp_name;
  }
  return text;
}

PyObject* to_python(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* to_python(const Bytes& bytes) {
  return PyBytes_FromStringAndSize(bytes.data.data(), static_cast<Py_ssize_t>(bytes.data.size()));
}

PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(std::int64_t value) { return PyLong_FromLongLong(value); }

PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_python(const std::map<std::string, std::string>& map) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : map) {
    PyRef k = PyRef::steal(to_python(std::string_view(key)));
    PyRef v = PyRef::steal(to_python(std::string_view(value)));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace quorrel::python

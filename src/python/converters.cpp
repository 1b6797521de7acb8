#include "python/converters.h"

#include <string>

#include "python/conversions.h"
#include "python/exceptions.h"
#include "python/py_ref.h"

namespace quorrel::python {

bool raise_conversion_error(PyObject* obj, const char* target) {
  raise(PyExc_TypeError, "'" + type_name_of(obj) + "' object cannot be converted to '" + target + "'");
  return false;
}

bool Text::convert(PyObject* obj, value_type& out) {
  if (!PyUnicode_Check(obj)) return raise_conversion_error(obj, "str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool Float::convert(PyObject* obj, value_type& out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool Integer::convert(PyObject* obj, value_type& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool TextDict::convert(PyObject* obj, value_type& out) {
  if (!PyDict_Check(obj)) return raise_conversion_error(obj, "dict");
  out.clear();
  // Reading str contents runs no Python code, so the dict cannot change here.
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    std::string k, v;
    if (!Text::convert(key, k) || !Text::convert(value, v)) return false;
    out.insert_or_assign(std::move(k), std::move(v));
  }
  return true;
}

namespace {

bool refuse_str_as_sequence() {
  raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return false;
}

}  // namespace

bool TextList::convert(PyObject* obj, value_type& out) {
  if (PyUnicode_Check(obj)) return refuse_str_as_sequence();
  if (!PySequence_Check(obj)) return raise_conversion_error(obj, "Sequence");
  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) return false;
  out.clear();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    std::string text;
    if (!Text::convert(item.get(), text)) return false;
    out.push_back(std::move(text));
  }
  return !PyErr_Occurred();
}

bool BytesOrText::convert(PyObject* obj, value_type& out) {
  auto data = extract_bytes_data(obj);
  if (!data) return false;
  out = std::move(*data);
  return true;
}

bool BytesOnly::convert(PyObject* obj, value_type& out) {
  if (!PyBytes_Check(obj)) return raise_conversion_error(obj, "bytes");
  out.assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
  return true;
}

bool ByteSequence::convert(PyObject* obj, value_type& out) {
  if (PyBytes_Check(obj)) {
    out.assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    out.assign(PyByteArray_AS_STRING(obj), static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
    return true;
  }
  if (PyUnicode_Check(obj)) return refuse_str_as_sequence();
  if (!PySequence_Check(obj)) return raise_conversion_error(obj, "Sequence");
  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) return false;
  out.clear();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyRef index = PyRef::steal(PyNumber_Index(item.get()));
    if (!index) return false;
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 255) {
      raise(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    out.push_back(static_cast<char>(value));
  }
  return !PyErr_Occurred();
}

}  // namespace quorrel::python

#pragma once

#include <Python.h>

#include <utility>

namespace quorrel::python {

// Owns one strong reference to a Python object (or nothing). Move-only.
//
//   PyRef text = PyRef::steal(PyUnicode_FromString("x"));
//   if (!text) return nullptr;          // exception pending
//   return text.release();              // hand the reference to the caller
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Gives up ownership; the caller now owns the reference.
  PyObject* release() { return std::exchange(object_, nullptr); }
  // A new reference for the caller; this owner keeps its own.
  PyObject* new_reference() const {
    Py_XINCREF(object_);
    return object_;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quorrel::python

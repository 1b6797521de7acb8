#pragma once

#include <Python.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorrel::python {

// Argument converters. Each one turns a Python argument into a C++ value:
//
//   struct Conv {
//     using value_type = ...;
//     // obj is the argument (borrowed), or null when an optional parameter
//     // was omitted; on failure sets an exception and returns false.
//     static bool convert(PyObject* obj, value_type& out);
//     static constexpr bool kAcceptsOmitted = ...;  // optional: default false
//     static constexpr bool kPrefixErrors = ...;    // optional: default true
//   };
//
// A TypeError from a converter is reported as "argument '{name}': {reason}"
// (unless kPrefixErrors is false); other exceptions, such as the codec's
// UnicodeEncodeError for lone surrogates or an OverflowError from __float__,
// pass through unchanged.

// str only (bytes refused), as UTF-8.
struct Text {
  using value_type = std::string;
  static bool convert(PyObject* obj, value_type& out);
};

// Anything the interpreter converts to a C double: float, int, or an object
// with __float__ or __index__.
struct Float {
  using value_type = double;
  static bool convert(PyObject* obj, value_type& out);
};

// An int, or an object with __index__, that fits a signed 64-bit integer.
struct Integer {
  using value_type = long long;
  static bool convert(PyObject* obj, value_type& out);
};

// A dict whose keys and values are all str.
struct TextDict {
  using value_type = std::map<std::string, std::string>;
  static bool convert(PyObject* obj, value_type& out);
};

// Any sequence of str, in order; a str itself is refused.
struct TextList {
  using value_type = std::vector<std::string>;
  static bool convert(PyObject* obj, value_type& out);
};

// bytes (or a subclass) as is, str as UTF-8; anything else raises TypeError
// "data must be str or bytes" without the argument prefix.
struct BytesOrText {
  using value_type = std::string;
  static constexpr bool kPrefixErrors = false;
  static bool convert(PyObject* obj, value_type& out);
};

// bytes or a subclass of bytes only (bytearray, memoryview, str refused).
struct BytesOnly {
  using value_type = std::string;
  static bool convert(PyObject* obj, value_type& out);
};

// bytes, bytearray or any sequence of ints 0..255; a str is refused.
struct ByteSequence {
  using value_type = std::string;
  static bool convert(PyObject* obj, value_type& out);
};

// Any object, unconverted (a borrowed reference valid for the call).
struct Any {
  using value_type = PyObject*;
  static bool convert(PyObject* obj, value_type& out) {
    out = obj;
    return true;
  }
};

template <class C>
constexpr bool accepts_omitted() {
  if constexpr (requires { C::kAcceptsOmitted; }) {
    return C::kAcceptsOmitted;
  } else {
    return false;
  }
}

template <class C>
constexpr bool prefixes_errors() {
  if constexpr (requires { C::kPrefixErrors; }) {
    return C::kPrefixErrors;
  } else {
    return true;
  }
}

// An optional parameter: omitted or None gives nullopt.
template <class C>
struct Optional {
  using value_type = std::optional<typename C::value_type>;
  static constexpr bool kAcceptsOmitted = true;
  static constexpr bool kPrefixErrors = prefixes_errors<C>();
  static bool convert(PyObject* obj, value_type& out) {
    if (obj == nullptr || obj == Py_None) {
      out.reset();
      return true;
    }
    typename C::value_type value{};
    if (!C::convert(obj, value)) return false;
    out = std::move(value);
    return true;
  }
};

// Raises TypeError "'{type}' object cannot be converted to '{target}'".
bool raise_conversion_error(PyObject* obj, const char* target);

}  // namespace quorrel::python

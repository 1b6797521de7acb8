#pragma once

#include <Python.h>

#include <span>

#include "python/text_signature.h"

namespace quorrel::python {

// The arguments of one call as the interpreter hands them over: either the
// vectorcall form (keyword values follow the positional ones, their names in
// a tuple) or the classic form (a tuple and a dict, both possibly null).
struct CallArguments {
  PyObject* const* positional = nullptr;
  Py_ssize_t positional_count = 0;
  PyObject* keyword_names = nullptr;  // vectorcall: tuple of str, or null
  PyObject* keyword_dict = nullptr;   // classic: dict, or null

  static CallArguments vectorcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return {args, PyVectorcall_NARGS(nargs), kwnames, nullptr};
  }
  static CallArguments classic(PyObject* args, PyObject* kwargs) {
    CallArguments call;
    if (args != nullptr) {
      call.positional = &PyTuple_GET_ITEM(args, 0);
      call.positional_count = PyTuple_GET_SIZE(args);
    }
    call.keyword_dict = kwargs;
    return call;
  }
};

// Assigns the call's arguments to the signature's parameters: slots[i]
// receives a borrowed reference to the value of parameter i, or null when it
// was not given. Missing, surplus, unknown and doubly given arguments raise
// TypeError in the interpreter's own wording for Python functions (the
// receiver counts as a positional argument, as it does for methods), and the
// function returns false. slots must hold sig.count entries.
bool bind_arguments(const TextSignature& sig, const CallArguments& call, std::span<PyObject*> slots);

// Replaces a pending TypeError by one whose message is prefixed with
// "argument '{name}': "; any other pending exception is left unchanged.
void prefix_argument_error(std::string_view name);

}  // namespace quorrel::python

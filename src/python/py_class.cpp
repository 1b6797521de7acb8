#include "python/py_class.h"

#include <cstring>
#include <string>
#include <vector>

#include "python/exceptions.h"

namespace quorrel::python {

namespace {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return raise(PyExc_TypeError, std::string("No constructor defined for ") + type->tp_name);
}

[[noreturn]] void fail_type_creation(const ClassSpec& class_spec) {
  const std::string message = std::string("failed to create type object for ") + class_spec.name;
  Py_FatalError(message.c_str());
}

}  // namespace

namespace detail {

PyTypeObject* create_heap_type(const ClassSpec& class_spec, Py_ssize_t basic_size, destructor dealloc,
                               traverseproc traverse, inquiry clear) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  if (traverse != nullptr) {
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(traverse)});
    slots.push_back({Py_tp_clear, reinterpret_cast<void*>(clear)});
  }
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(class_spec.constructor ? class_spec.constructor : &no_constructor)});
  if (class_spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(class_spec.doc)});
  for (PyType_Slot* s = class_spec.slots; s != nullptr && s->slot != 0; ++s) slots.push_back(*s);
  slots.push_back({0, nullptr});

  // Created under its qualified name, so that the interpreter records
  // __module__ = "quorrel" (a bare name would draw a DeprecationWarning, fatal
  // under -W error), then given the bare type name. The interpreter copies
  // the name into a buffer the type owns; the bare name points into it.
  const std::string qualified = std::string("quorrel.") + class_spec.name;
  PyType_Spec type_spec{};
  type_spec.name = qualified.c_str();
  type_spec.basicsize = static_cast<int>(basic_size);
  type_spec.flags = Py_TPFLAGS_DEFAULT | (class_spec.subclassable ? Py_TPFLAGS_BASETYPE : 0) |
                    (traverse != nullptr ? Py_TPFLAGS_HAVE_GC : 0);
  type_spec.slots = slots.data();

  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) fail_type_creation(class_spec);
  auto* type_object = reinterpret_cast<PyTypeObject*>(type);
  const char* dot = std::strrchr(type_object->tp_name, '.');
  if (dot != nullptr) type_object->tp_name = dot + 1;
  return type_object;
}

}  // namespace detail

}  // namespace quorrel::python

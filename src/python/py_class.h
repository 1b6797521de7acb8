#pragma once

// Classes of the module: one C++ state type per Python class, wrapped in a
// heap type created on first use and cached for the life of the process.
//
// Declaring a class (see README.md for a complete walk-through):
//
//   // my_result.h
//   struct PyMyResult {
//     static const ClassSpec kSpec;
//     std::string text;
//     std::optional<double> elapsed;
//   };
//
//   // my_result.cpp
//   namespace {
//   constexpr char kRunDoc[] = "run($self, command, *, timeout=None)\n--\n\nRuns it.";
//   PyObject* run(Object<PyMyResult>& self, std::string command, std::optional<double> timeout);
//
//   PyMethodDef kMethods[] = {method<&run, kRunDoc, Text, Optional<Float>>(), {}};
//   PyGetSetDef kAttributes[] = {
//       attribute<&PyMyResult::text>("text"),
//       attribute<&PyMyResult::elapsed>("elapsed", "Seconds, or None."),
//       {}};
//   PyType_Slot kSlots[] = {{Py_tp_methods, kMethods}, {Py_tp_getset, kAttributes}, {}};
//   }  // namespace
//   const ClassSpec PyMyResult::kSpec{.name = "MyResult", .doc = "...", .slots = kSlots};
//
//   // anywhere: a new instance (the class itself cannot be called from Python)
//   PyObject* obj = new_instance(PyMyResult{.text = "hi"});
//
// Every method call first checks the thread binding (unsendable classes
// only), then takes the object's borrow flag (exclusive for `method`, shared
// for `reading_method`, properties and attributes) and holds it until the
// call returns, then binds and converts the arguments in signature order,
// and only then runs the body. The interpreter lock stays held throughout.

#include <Python.h>

#include <array>
#include <concepts>
#include <new>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/argument_binding.h"
#include "python/borrow_flag.h"
#include "python/conversions.h"
#include "python/converters.h"
#include "python/text_signature.h"
#include "python/thread_binding.h"

namespace quorrel::python {

struct ClassSpec {
  const char* name = nullptr;  // bare type name, e.g. "Sandbox"
  // Class docstring. A constructor's text signature goes first:
  // "Sandbox(*, isolation=None)\n--\n\n...".
  const char* doc = nullptr;
  // Bound to the creating thread (see thread_binding.h).
  bool unsendable = false;
  // Python classes may derive from it.
  bool subclassable = false;
  // Py_tp_methods, Py_tp_getset, Py_tp_iter, ..., terminated by {0, nullptr}.
  PyType_Slot* slots = nullptr;
  // Py_tp_new; null means calling the class raises TypeError
  // "No constructor defined for {name}". Build one with constructor<>().
  newfunc constructor = nullptr;
};

// Memory layout of every instance: the state lives on the heap so that an
// unsendable object dropped on a foreign thread can be leaked as a whole.
template <class T>
struct Object {
  PyObject ob_base;  // PyObject_HEAD
  T* state_ = nullptr;
  BorrowFlag borrow;
  ThreadBinding thread;

  T& state() { return *state_; }
  PyObject* py() { return reinterpret_cast<PyObject*>(this); }
};

namespace detail {

// State types that hold references to other Python objects declare
//   int traverse(visitproc visit, void* arg) const;   // Py_VISIT each one
//   void clear();                                      // drop them
// and their class takes part in cycle collection (a Sandbox subclass that
// keeps its own `fs` facade in an attribute would otherwise never be freed).
template <class T>
concept HoldsReferences = requires(const T& ct, T& t, visitproc visit, void* arg) {
  { ct.traverse(visit, arg) } -> std::same_as<int>;
  t.clear();
};

PyTypeObject* create_heap_type(const ClassSpec& class_spec, Py_ssize_t basic_size, destructor dealloc,
                               traverseproc traverse = nullptr, inquiry clear = nullptr);

template <class T>
int traverse(PyObject* obj, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<Object<T>*>(obj);
  Py_VISIT(Py_TYPE(obj));
  return self->state_ != nullptr ? self->state_->traverse(visit, arg) : 0;
}

template <class T>
int clear(PyObject* obj) {
  auto* self = reinterpret_cast<Object<T>*>(obj);
  if (self->state_ != nullptr) self->state_->clear();
  return 0;
}

template <class T>
void dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<Object<T>*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  if constexpr (HoldsReferences<T>) PyObject_GC_UnTrack(obj);
  if (self->state_ != nullptr) {
    if (T::kSpec.unsendable && !self->thread.is_current()) {
      report_foreign_drop(T::kSpec.name);  // the state is deliberately leaked
    } else {
      delete self->state_;
    }
    self->state_ = nullptr;
  }
  type->tp_free(obj);
  Py_DECREF(type);
}

}  // namespace detail

// The class's type object, created on the first call. A failure to create it
// aborts the process ("failed to create type object for {name}").
template <class T>
PyTypeObject* type_object() {
  static_assert(std::is_standard_layout_v<Object<T>>);
  static PyTypeObject* const type = [] {
    constexpr auto size = static_cast<Py_ssize_t>(sizeof(Object<T>));
    if constexpr (detail::HoldsReferences<T>) {
      return detail::create_heap_type(T::kSpec, size, &detail::dealloc<T>, &detail::traverse<T>, &detail::clear<T>);
    } else {
      return detail::create_heap_type(T::kSpec, size, &detail::dealloc<T>);
    }
  }();
  return type;
}

// A new instance of `type` (the class or a subclass of it) owning `state`,
// bound to the current thread. Null with an exception pending on failure.
template <class T>
PyObject* new_instance(PyTypeObject* type, T state) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* self = reinterpret_cast<Object<T>*>(obj);
  new (&self->borrow) BorrowFlag();
  new (&self->thread) ThreadBinding();
  self->state_ = new (std::nothrow) T(std::move(state));
  if (self->state_ == nullptr) {
    Py_DECREF(obj);
    return PyErr_NoMemory();
  }
  return obj;
}

template <class T>
PyObject* new_instance(T state) {
  return new_instance(type_object<T>(), std::move(state));
}

// The instance behind obj, or null when obj is not one (no exception set).
template <class T>
Object<T>* instance_of(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, type_object<T>())) return nullptr;
  return reinterpret_cast<Object<T>*>(obj);
}

// Converter for an argument that must be an instance of T (or a subclass).
template <class T>
struct InstanceOf {
  using value_type = Object<T>*;
  static bool convert(PyObject* obj, value_type& out) {
    out = instance_of<T>(obj);
    return out != nullptr || raise_conversion_error(obj, T::kSpec.name);
  }
};

enum class Access { Exclusive, Shared };

namespace detail {

template <Access A>
using BorrowFor = std::conditional_t<A == Access::Exclusive, ExclusiveBorrow, SharedBorrow>;

// Thread check, then the borrow; empty with an exception pending on refusal.
template <Access A, class T>
std::optional<BorrowFor<A>> enter(Object<T>& self) {
  if (T::kSpec.unsendable && !self.thread.check(T::kSpec.name)) return std::nullopt;
  return BorrowFor<A>::acquire(self.borrow);
}

template <class F>
struct receiver_of;
template <class T, class... A>
struct receiver_of<PyObject* (*)(Object<T>&, A...)> {
  using type = T;
};

template <class T, class V>
T member_owner(V T::*);

// The function name at the start of a docstring, as a C string.
template <const char* Doc>
struct FunctionName {
  static constexpr std::size_t kSize = std::string_view(Doc).find('(');
  static_assert(kSize != std::string_view::npos && kSize > 0, "the docstring must start with name(...)");
  static constexpr std::array<char, kSize + 1> value = [] {
    std::array<char, kSize + 1> name{};
    for (std::size_t i = 0; i < kSize; ++i) name[i] = Doc[i];
    return name;
  }();
};

template <const char* Doc, class... Conv>
struct Arguments {
  static constexpr TextSignature kSig = parse_text_signature(Doc);
  static_assert(kSig.valid(), "malformed text signature");
  static_assert(kSig.count == sizeof...(Conv), "one converter per parameter");
  static_assert(
      [] {
        std::size_t i = 0;
        return ((kSig.parameters[i++].optional == accepts_omitted<Conv>()) && ...);
      }(),
      "parameters declared =None need an Optional<> converter, and only they");

  using Values = std::tuple<typename Conv::value_type...>;

  static std::optional<Values> parse(const CallArguments& call) {
    std::array<PyObject*, sizeof...(Conv) + 1> slots{};
    if (!bind_arguments(kSig, call, std::span<PyObject*>(slots.data(), sizeof...(Conv)))) return std::nullopt;
    std::optional<Values> values(std::in_place);
    const bool ok = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (convert_one<I, Conv>(slots[I], std::get<I>(*values)) && ...);
    }
    (std::index_sequence_for<Conv...>{});
    if (!ok) return std::nullopt;
    return values;
  }

  template <std::size_t I, class C>
  static bool convert_one(PyObject* slot, typename C::value_type& out) {
    if (C::convert(slot, out)) return true;
    if constexpr (prefixes_errors<C>()) prefix_argument_error(kSig.parameters[I].name);
    return false;
  }
};

template <auto Impl, const char* Doc, Access A, class... Conv>
PyObject* method_trampoline(PyObject* self_obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using T = typename receiver_of<decltype(Impl)>::type;
  static_assert(Arguments<Doc, Conv...>::kSig.receiver == Receiver::Self, "a method's signature starts with $self");
  auto& self = *reinterpret_cast<Object<T>*>(self_obj);
  auto guard = enter<A>(self);
  if (!guard) return nullptr;
  auto values = Arguments<Doc, Conv...>::parse(CallArguments::vectorcall(args, nargs, kwnames));
  if (!values) return nullptr;
  return std::apply([&](auto&&... v) { return Impl(self, std::move(v)...); }, std::move(*values));
}

template <auto Impl, const char* Doc, class... Conv>
PyObject* class_method_trampoline(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(Arguments<Doc, Conv...>::kSig.receiver == Receiver::Cls, "a class method's signature starts with $cls");
  auto values = Arguments<Doc, Conv...>::parse(CallArguments::vectorcall(args, nargs, kwnames));
  if (!values) return nullptr;
  return std::apply([&](auto&&... v) { return Impl(reinterpret_cast<PyTypeObject*>(cls), std::move(v)...); },
                    std::move(*values));
}

template <auto Impl, const char* Doc, class... Conv>
PyObject* function_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(Arguments<Doc, Conv...>::kSig.receiver == Receiver::None, "a function's signature has no receiver");
  auto values = Arguments<Doc, Conv...>::parse(CallArguments::vectorcall(args, nargs, kwnames));
  if (!values) return nullptr;
  return std::apply([&](auto&&... v) { return Impl(std::move(v)...); }, std::move(*values));
}

template <auto Impl, const char* Doc, class... Conv>
PyObject* constructor_trampoline(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static_assert(Arguments<Doc, Conv...>::kSig.receiver == Receiver::None, "a constructor's signature has no receiver");
  auto values = Arguments<Doc, Conv...>::parse(CallArguments::classic(args, kwargs));
  if (!values) return nullptr;
  return std::apply([&](auto&&... v) { return Impl(type, std::move(v)...); }, std::move(*values));
}

template <auto Impl, const char* Doc, Access A, class... Conv>
PyObject* call_trampoline(PyObject* self_obj, PyObject* args, PyObject* kwargs) {
  using T = typename receiver_of<decltype(Impl)>::type;
  auto& self = *reinterpret_cast<Object<T>*>(self_obj);
  auto guard = enter<A>(self);
  if (!guard) return nullptr;
  auto values = Arguments<Doc, Conv...>::parse(CallArguments::classic(args, kwargs));
  if (!values) return nullptr;
  return std::apply([&](auto&&... v) { return Impl(self, std::move(v)...); }, std::move(*values));
}

template <auto Impl>
PyObject* getter_trampoline(PyObject* self_obj, void*) {
  using T = typename receiver_of<decltype(Impl)>::type;
  auto& self = *reinterpret_cast<Object<T>*>(self_obj);
  auto guard = enter<Access::Shared>(self);
  if (!guard) return nullptr;
  return Impl(self);
}

template <auto Member>
PyObject* attribute_trampoline(PyObject* self_obj, void*) {
  using T = decltype(member_owner(Member));
  auto& self = *reinterpret_cast<Object<T>*>(self_obj);
  auto guard = enter<Access::Shared>(self);
  if (!guard) return nullptr;
  return to_python(self.state().*Member);
}

template <class T>
PyObject* iter_trampoline(PyObject* self_obj) {
  auto& self = *reinterpret_cast<Object<T>*>(self_obj);
  auto guard = enter<Access::Shared>(self);
  if (!guard) return nullptr;
  return Py_NewRef(self_obj);
}

template <auto Impl>
PyObject* next_trampoline(PyObject* self_obj) {
  using T = typename receiver_of<decltype(Impl)>::type;
  auto& self = *reinterpret_cast<Object<T>*>(self_obj);
  auto guard = enter<Access::Exclusive>(self);
  if (!guard) return nullptr;
  return Impl(self);
}

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace detail

// A method that changes the object. Impl:
//   PyObject* impl(Object<T>& self, Conv::value_type... args)
// returning a new reference, or null with an exception pending.
// Doc starts with the text signature: "name($self, a, b=None)\n--\n\n...".
template <auto Impl, const char* Doc, class... Conv>
PyMethodDef method() {
  return {detail::FunctionName<Doc>::value.data(),
          detail::as_cfunction(&detail::method_trampoline<Impl, Doc, Access::Exclusive, Conv...>),
          METH_FASTCALL | METH_KEYWORDS, Doc};
}

// A method that only reads the object (shared borrow).
template <auto Impl, const char* Doc, class... Conv>
PyMethodDef reading_method() {
  return {detail::FunctionName<Doc>::value.data(),
          detail::as_cfunction(&detail::method_trampoline<Impl, Doc, Access::Shared, Conv...>),
          METH_FASTCALL | METH_KEYWORDS, Doc};
}

// A class method: "name($cls, ...)"; Impl(PyTypeObject* cls, values...).
// No thread binding or borrow applies (there is no instance).
template <auto Impl, const char* Doc, class... Conv>
PyMethodDef class_method() {
  return {detail::FunctionName<Doc>::value.data(),
          detail::as_cfunction(&detail::class_method_trampoline<Impl, Doc, Conv...>),
          METH_FASTCALL | METH_KEYWORDS | METH_CLASS, Doc};
}

// A module-level function: "name(a, b=None)"; Impl(values...).
template <auto Impl, const char* Doc, class... Conv>
PyMethodDef function() {
  return {detail::FunctionName<Doc>::value.data(),
          detail::as_cfunction(&detail::function_trampoline<Impl, Doc, Conv...>), METH_FASTCALL | METH_KEYWORDS, Doc};
}

// A computed read-only attribute; Impl(Object<T>& self) -> new reference.
template <auto Impl>
PyGetSetDef property(const char* name, const char* doc = nullptr) {
  return {name, &detail::getter_trampoline<Impl>, nullptr, doc, nullptr};
}

// A read-only attribute showing a state field through to_python().
template <auto Member>
PyGetSetDef attribute(const char* name, const char* doc = nullptr) {
  return {name, &detail::attribute_trampoline<Member>, nullptr, doc, nullptr};
}

// Py_tp_new from a constructor signature: the class docstring, e.g.
// "Sandbox(*, isolation=None)\n--\n\n...". Impl(PyTypeObject* type, values...)
// returns new_instance(type, ...).
template <auto Impl, const char* Doc, class... Conv>
newfunc constructor() {
  return &detail::constructor_trampoline<Impl, Doc, Conv...>;
}

// Py_tp_call; Doc gives the signature, e.g. "__call__($self)\n--\n\n".
template <auto Impl, const char* Doc, Access A = Access::Exclusive, class... Conv>
ternaryfunc call_slot() {
  return &detail::call_trampoline<Impl, Doc, A, Conv...>;
}

// Py_tp_iter returning the object itself (iterator classes).
template <class T>
getiterfunc iter_self() {
  return &detail::iter_trampoline<T>;
}

// Py_tp_iternext; Impl(Object<T>& self) returns the next item, or null
// without an exception at the end.
template <auto Impl>
iternextfunc iter_next() {
  return &detail::next_trampoline<Impl>;
}

}  // namespace quorrel::python

#include "python/argument_binding.h"

#include <string>
#include <vector>

#include "python/exceptions.h"
#include "python/py_ref.h"

namespace quorrel::python {

namespace {

std::string plural(Py_ssize_t n, const char* word) { return n == 1 ? word : std::string(word) + "s"; }

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const std::vector<std::string_view>& names) {
  std::string out;
  const std::size_t n = names.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += n == 2 ? " and " : (i + 1 == n ? ", and " : ", ");
    out += quoted(names[i]);
  }
  return out;
}

// A keyword name as UTF-8, or nullopt when it cannot be encoded (it then
// matches no parameter).
std::optional<std::string_view> keyword_text(PyObject* key) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

// Raises "{f}() ..." with a message whose tail is built by the interpreter
// (so that keys are rendered with str(), as it does itself).
bool raise_with_key(const std::string& function, const char* format, PyObject* key) {
  PyRef tail = PyRef::steal(PyUnicode_FromFormat(format, key));
  if (!tail) return false;
  PyRef head = PyRef::steal(PyUnicode_FromString((function + "() ").c_str()));
  if (!head) return false;
  PyRef message = PyRef::steal(PyUnicode_Concat(head.get(), tail.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
  return false;
}

class Binder {
 public:
  Binder(const TextSignature& sig, const CallArguments& call, std::span<PyObject*> slots)
      : sig_(sig), call_(call), slots_(slots), function_(sig.function_name) {}

  bool run() {
    for (auto& s : slots_) s = nullptr;
    const auto given = static_cast<std::size_t>(call_.positional_count);
    const std::size_t taken = std::min(given, sig_.positional);
    for (std::size_t i = 0; i < taken; ++i) slots_[i] = call_.positional[i];

    if (!bind_keywords()) return false;
    if (given > sig_.positional) return too_many_positional(given);
    return check_missing();
  }

 private:
  bool bind_keywords() {
    if (call_.keyword_names != nullptr) {
      const Py_ssize_t n = PyTuple_GET_SIZE(call_.keyword_names);
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* value = call_.positional[call_.positional_count + i];
        if (!bind_keyword(PyTuple_GET_ITEM(call_.keyword_names, i), value)) return false;
      }
    } else if (call_.keyword_dict != nullptr) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(call_.keyword_dict, &pos, &key, &value)) {
        if (!bind_keyword(key, value)) return false;
      }
    }
    return true;
  }

  bool bind_keyword(PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
      raise(PyExc_TypeError, function_ + "() keywords must be strings");
      return false;
    }
    const auto text = keyword_text(key);
    std::optional<std::size_t> index;
    if (text) {
      for (std::size_t j = sig_.positional_only; j < sig_.count; ++j) {
        if (sig_.parameters[j].name == *text) {
          index = j;
          break;
        }
      }
    }
    if (!index && text && !receiver_name().empty() && receiver_name() == *text) {
      // The receiver is a parameter too, already given.
      return raise_with_key(function_, "got multiple values for argument '%S'", key);
    }
    if (!index) {
      if (sig_.positional_only > 0 && positional_only_passed_as_keyword()) return false;
      return raise_with_key(function_, "got an unexpected keyword argument '%S'", key);
    }
    if (slots_[*index] != nullptr) {
      return raise_with_key(function_, "got multiple values for argument '%S'", key);
    }
    slots_[*index] = value;
    return true;
  }

  // All keyword names that match a positional-only parameter, in the order
  // of the parameters; raises when there is any.
  bool positional_only_passed_as_keyword() {
    std::vector<std::string_view> names;
    for (std::size_t k = 0; k < sig_.positional_only; ++k) {
      for (PyObject* key : keyword_keys()) {
        if (!PyUnicode_Check(key)) continue;
        if (keyword_text(key) == sig_.parameters[k].name) names.push_back(sig_.parameters[k].name);
      }
    }
    if (names.empty()) return false;
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i > 0) joined += ", ";
      joined += names[i];
    }
    raise(PyExc_TypeError,
          function_ + "() got some positional-only arguments passed as keyword arguments: '" + joined + "'");
    return true;
  }

  std::vector<PyObject*> keyword_keys() const {
    std::vector<PyObject*> keys;
    if (call_.keyword_names != nullptr) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(call_.keyword_names); ++i) {
        keys.push_back(PyTuple_GET_ITEM(call_.keyword_names, i));
      }
    } else if (call_.keyword_dict != nullptr) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(call_.keyword_dict, &pos, &key, &value)) keys.push_back(key);
    }
    return keys;
  }

  std::string_view receiver_name() const {
    switch (sig_.receiver) {
      case Receiver::Self: return "self";
      case Receiver::Cls: return "cls";
      case Receiver::None: return {};
    }
    return {};
  }

  Py_ssize_t receiver() const { return sig_.receiver == Receiver::None ? 0 : 1; }

  bool too_many_positional(std::size_t given_args) {
    const Py_ssize_t capacity = static_cast<Py_ssize_t>(sig_.positional) + receiver();
    const Py_ssize_t given = static_cast<Py_ssize_t>(given_args) + receiver();
    Py_ssize_t defaults = 0;
    for (std::size_t i = 0; i < sig_.positional; ++i) defaults += sig_.parameters[i].optional ? 1 : 0;
    Py_ssize_t keyword_only_given = 0;
    for (std::size_t i = sig_.positional; i < sig_.count; ++i) keyword_only_given += slots_[i] ? 1 : 0;

    std::string takes;
    bool plural_takes;
    if (defaults > 0) {
      takes = "from " + std::to_string(capacity - defaults) + " to " + std::to_string(capacity);
      plural_takes = true;
    } else {
      takes = std::to_string(capacity);
      plural_takes = capacity != 1;
    }
    std::string keyword_only_part;
    if (keyword_only_given > 0) {
      keyword_only_part = " " + plural(given, "positional argument") + " (and " + std::to_string(keyword_only_given) +
                          " " + plural(keyword_only_given, "keyword-only argument") + ")";
    }
    const bool was = given == 1 && keyword_only_given == 0;
    raise(PyExc_TypeError, function_ + "() takes " + takes +
                               (plural_takes ? " positional arguments" : " positional argument") + " but " +
                               std::to_string(given) + keyword_only_part + (was ? " was" : " were") + " given");
    return false;
  }

  bool check_missing() {
    std::vector<std::string_view> positional, keyword_only;
    for (std::size_t i = 0; i < sig_.count; ++i) {
      const Parameter& p = sig_.parameters[i];
      if (slots_[i] != nullptr || p.optional) continue;
      (p.keyword_only ? keyword_only : positional).push_back(p.name);
    }
    if (!positional.empty()) return missing(positional, "positional");
    if (!keyword_only.empty()) return missing(keyword_only, "keyword-only");
    return true;
  }

  bool missing(const std::vector<std::string_view>& names, const char* kind) {
    const auto n = static_cast<Py_ssize_t>(names.size());
    raise(PyExc_TypeError, function_ + "() missing " + std::to_string(n) + " required " + kind + " " +
                               plural(n, "argument") + ": " + join_names(names));
    return false;
  }

  const TextSignature& sig_;
  const CallArguments& call_;
  std::span<PyObject*> slots_;
  std::string function_;
};

}  // namespace

bool bind_arguments(const TextSignature& sig, const CallArguments& call, std::span<PyObject*> slots) {
  return Binder(sig, call, slots).run();
}

void prefix_argument_error(std::string_view name) {
  if (PyErr_Occurred() != PyExc_TypeError) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value), owned_tb = PyRef::steal(traceback);
  PyRef reason = PyRef::steal(value ? PyObject_Str(value) : PyUnicode_FromString(""));
  if (!reason) return;
  const std::string head(name);
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", head.c_str(), reason.get()));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

}  // namespace quorrel::python

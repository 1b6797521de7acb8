#pragma once

#include <Python.h>

#include <string_view>
#include <thread>

namespace quorrel::python {

// The thread an unsendable object was created on. Every method call,
// attribute read and iteration step of such an object checks it first;
// destroying the object elsewhere leaks its state instead of releasing it.
class ThreadBinding {
 public:
  ThreadBinding() : owner_(std::this_thread::get_id()) {}

  bool is_current() const { return owner_ == std::this_thread::get_id(); }

  // True on the owning thread; otherwise sets RuntimeError
  // "quorrel.{class_name} is unsendable, but sent to another thread".
  bool check(std::string_view class_name) const;

 private:
  std::thread::id owner_;
};

// Reports "quorrel.{class_name} is unsendable, but is being dropped on another
// thread" as an unraisable RuntimeError, keeping any exception that was pending.
void report_foreign_drop(std::string_view class_name);

}  // namespace quorrel::python

#pragma once

#include <Python.h>

#include <optional>

namespace quorrel::python {

// Exclusive-use flag of one object. A call that changes the object holds an
// ExclusiveBorrow for its whole duration; a call that only reads it holds a
// SharedBorrow. A nested call on the same object (from a callback running
// inside the first call, on the same thread) is refused instead of seeing
// the object half-way through an operation:
//   exclusive while any borrow is held -> RuntimeError "Already borrowed"
//   shared while an exclusive is held  -> RuntimeError "Already mutably borrowed"
// The interpreter lock serialises every access to the flag.
class BorrowFlag {
 public:
  bool is_exclusive() const { return state_ == kExclusive; }
  bool is_free() const { return state_ == 0; }

 private:
  friend class ExclusiveBorrow;
  friend class SharedBorrow;
  static constexpr long kExclusive = -1;
  long state_ = 0;  // 0 free, -1 exclusive, n > 0 shared by n calls
};

class ExclusiveBorrow {
 public:
  // Empty, with RuntimeError pending, when the object is in use.
  static std::optional<ExclusiveBorrow> acquire(BorrowFlag& flag) {
    if (!flag.is_free()) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return std::nullopt;
    }
    return ExclusiveBorrow(flag);
  }
  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    if (flag_) flag_->state_ = 0;
  }

 private:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(&flag) { flag.state_ = BorrowFlag::kExclusive; }
  BorrowFlag* flag_;
};

class SharedBorrow {
 public:
  // Empty, with RuntimeError pending, when a call holds the object exclusively.
  static std::optional<SharedBorrow> acquire(BorrowFlag& flag) {
    if (flag.is_exclusive()) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return std::nullopt;
    }
    return SharedBorrow(flag);
  }
  SharedBorrow(SharedBorrow&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (flag_) --flag_->state_;
  }

 private:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(&flag) { ++flag.state_; }
  BorrowFlag* flag_;
};

}  // namespace quorrel::python

#pragma once

#include <memory>
#include <utility>

#include "vm/kvm/kvm_backend.h"

namespace quorrel::vm {

// Owns one heap-allocated KvmBackend (the backend of a sandbox restored from
// a snapshot file); dropping the handle destroys the backend.
class BackendHandle {
 public:
  BackendHandle() = default;
  explicit BackendHandle(std::unique_ptr<KvmBackend> backend) : backend_(std::move(backend)) {}
  BackendHandle(BackendHandle&&) noexcept = default;
  BackendHandle& operator=(BackendHandle&& o) noexcept {
    if (this != &o) {
      reset();
      backend_ = std::move(o.backend_);
    }
    return *this;
  }
  ~BackendHandle() { reset(); }

  KvmBackend* get() const { return backend_.get(); }
  KvmBackend* operator->() const { return backend_.get(); }
  explicit operator bool() const { return backend_ != nullptr; }

  void reset() {
    if (backend_) backend_->destroy();
    backend_.reset();
  }

 private:
  std::unique_ptr<KvmBackend> backend_;
};

}  // namespace quorrel::vm

#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quorrel::vm {

// A multi-thread FIFO channel with one sender and one receiver handle.
// Capacity 0 means unbounded. Dropping the sender closes the channel (the
// receiver drains what is left, then sees the end); dropping the receiver
// makes further sends fail.
template <class T>
class EventChannel {
  struct Shared {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<T> items;
    std::size_t capacity = 0;
    bool sender_alive = true;
    bool receiver_alive = true;
  };

 public:
  class Sender {
   public:
    Sender() = default;
    explicit Sender(std::shared_ptr<Shared> s) : s_(std::move(s)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&& o) noexcept {
      close();
      s_ = std::move(o.s_);
      return *this;
    }
    ~Sender() { close(); }

    // Blocks while a bounded channel is full. False when the receiver is gone.
    bool send(T item) {
      std::unique_lock lock(s_->mutex);
      s_->cv.wait(lock, [&] { return !s_->receiver_alive || s_->capacity == 0 || s_->items.size() < s_->capacity; });
      if (!s_->receiver_alive) return false;
      s_->items.push_back(std::move(item));
      s_->cv.notify_all();
      return true;
    }

    void close() {
      if (!s_) return;
      {
        std::lock_guard lock(s_->mutex);
        s_->sender_alive = false;
      }
      s_->cv.notify_all();
      s_.reset();
    }

   private:
    std::shared_ptr<Shared> s_;
  };

  class Receiver {
   public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<Shared> s) : s_(std::move(s)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& o) noexcept {
      close();
      s_ = std::move(o.s_);
      return *this;
    }
    ~Receiver() { close(); }

    // Next item; nullopt once the sender is gone and nothing is left.
    std::optional<T> recv() {
      std::unique_lock lock(s_->mutex);
      s_->cv.wait(lock, [&] { return !s_->items.empty() || !s_->sender_alive; });
      if (s_->items.empty()) return std::nullopt;
      T item = std::move(s_->items.front());
      s_->items.pop_front();
      s_->cv.notify_all();
      return item;
    }

    void close() {
      if (!s_) return;
      {
        std::lock_guard lock(s_->mutex);
        s_->receiver_alive = false;
        s_->items.clear();
      }
      s_->cv.notify_all();
      s_.reset();
    }

   private:
    std::shared_ptr<Shared> s_;
  };

  static std::pair<Sender, Receiver> create(std::size_t capacity) {
    auto s = std::make_shared<Shared>();
    s->capacity = capacity;
    return {Sender(s), Receiver(s)};
  }
};

}  // namespace quorrel::vm

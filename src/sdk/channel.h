#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quorrel::sdk {

namespace detail {

template <class T>
struct ChannelState {
  explicit ChannelState(std::size_t cap) : capacity(std::max<std::size_t>(cap, 1)) {}

  std::mutex mutex;
  std::condition_variable not_empty;
  std::condition_variable not_full;
  std::deque<T> queue;
  const std::size_t capacity;
  std::size_t senders = 1;
  bool receiver_alive = true;
};

}  // namespace detail

template <class T>
class Receiver;

// Sending end of a bounded FIFO channel. Copies are further senders; the
// channel disconnects for the receiver once every sender is gone and the
// queue has drained.
template <class T>
class Sender {
 public:
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { release(); }

  // Blocks while the channel is full. Returns false, dropping the value, when
  // the receiver is gone.
  bool send(T value) {
    if (!state_) return false;
    std::unique_lock lock(state_->mutex);
    state_->not_full.wait(lock, [&] { return !state_->receiver_alive || state_->queue.size() < state_->capacity; });
    if (!state_->receiver_alive) return false;
    state_->queue.push_back(std::move(value));
    state_->not_empty.notify_one();
    return true;
  }

  // Drops this sender now (as its destructor would).
  void close() { release(); }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(std::size_t capacity);
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> s) : state_(std::move(s)) {}

  void release() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      if (--state_->senders == 0) state_->not_empty.notify_all();
    }
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

// Receiving end of a bounded FIFO channel; there is exactly one.
template <class T>
class Receiver {
 public:
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&& other) noexcept : state_(std::move(other.state_)) {}
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Receiver() { release(); }

  // Blocks until a value arrives; nullopt once the channel has disconnected
  // (every sender gone and nothing left).
  std::optional<T> receive() {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    state_->not_empty.wait(lock, [&] { return !state_->queue.empty() || state_->senders == 0; });
    if (state_->queue.empty()) return std::nullopt;
    T value = std::move(state_->queue.front());
    state_->queue.pop_front();
    state_->not_full.notify_one();
    return value;
  }

  // Values currently queued (for diagnostics and tests).
  std::size_t queued() const {
    if (!state_) return 0;
    std::lock_guard lock(state_->mutex);
    return state_->queue.size();
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(std::size_t capacity);
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> s) : state_(std::move(s)) {}

  void release() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      state_->queue.clear();
      state_->not_full.notify_all();
    }
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

// A channel holding at most `capacity` values (at least 1).
template <class T>
std::pair<Sender<T>, Receiver<T>> make_bounded_channel(std::size_t capacity) {
  auto state = std::make_shared<detail::ChannelState<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace quorrel::sdk

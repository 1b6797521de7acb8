#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sdk/channel.h"
#include "sdk/stream.h"
#include "stream_event_printer.h"

namespace quorrel::sdk {
namespace {

using namespace std::chrono_literals;

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::vector<StreamEvent> drain(StreamReceiver& rx) {
  std::vector<StreamEvent> out;
  while (auto e = rx.receive()) out.push_back(std::move(*e));
  return out;
}

TEST(BoundedChannel, BlocksWhenFullAndKeepsOrder) {
  auto [tx, rx] = make_bounded_channel<int>(32);
  std::atomic<int> sent{0};
  std::thread producer([&sent, tx = std::move(tx)]() mutable {
    for (int i = 0; i < 40; ++i) {
      ASSERT_TRUE(tx.send(i));
      ++sent;
    }
  });
  ASSERT_TRUE(eventually([&] { return rx.queued() == 32; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(sent.load(), 32);
  EXPECT_EQ(rx.queued(), 32u);
  std::vector<int> got;
  while (auto v = rx.receive()) got.push_back(*v);
  producer.join();
  ASSERT_EQ(got.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(got[i], i);
}

TEST(BoundedChannel, DisconnectsOnlyAfterEverySenderIsGone) {
  auto [tx, rx] = make_bounded_channel<std::string>(4);
  {
    Sender<std::string> copy = tx;
    tx.close();
    EXPECT_TRUE(copy.send("late"));
    std::thread later([copy = std::move(copy)]() mutable {
      std::this_thread::sleep_for(20ms);
      copy.send("later");
    });
    later.detach();
  }
  EXPECT_EQ(rx.receive(), "late");
  EXPECT_EQ(rx.receive(), "later");
  EXPECT_EQ(rx.receive(), std::nullopt);
  EXPECT_EQ(rx.receive(), std::nullopt);
}

TEST(BoundedChannel, SendFailsOnceTheReceiverIsGone) {
  auto [tx, rx] = make_bounded_channel<int>(1);
  ASSERT_TRUE(tx.send(1));
  std::atomic<bool> blocked_send_result{true};
  std::atomic<bool> done{false};
  std::thread producer([&, tx = std::move(tx)]() mutable {
    blocked_send_result = tx.send(2);  // blocks: the channel is full
    done = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(done.load());
  { auto dropped = std::move(rx); }
  producer.join();
  EXPECT_FALSE(blocked_send_result.load());
}

TEST(CompletedResultStream, EventOrder) {
  struct Case {
    core::SandboxResult result;
    std::vector<StreamEvent> events;
  };
  using E = StreamEvent;
  const std::vector<Case> cases = {
      {{"", "", 0, {}, false}, {E{E::Exit{0}}}},
      {{"out", "err", 2, {}, false}, {E{E::Stdout{"out"}}, E{E::Stderr{"err"}}, E{E::Exit{2}}}},
      {{"", "err", 1, {}, false}, {E{E::Stderr{"err"}}, E{E::Exit{1}}}},
      {{"partial", "", std::nullopt, {}, true}, {E{E::Stdout{"partial"}}, E{E::TimedOut{}}}},
      {{"", "", -9, {}, true}, {E{E::TimedOut{}}}},
      {{"x", "", std::nullopt, {}, false}, {E{E::Stdout{"x"}}, E{E::Exit{-1}}}},
      {{"", "", -15, {}, false}, {E{E::Exit{-15}}}},
  };
  for (const auto& c : cases) {
    auto rx = stream_from_completed_result(c.result);
    EXPECT_EQ(drain(rx), c.events);
  }
}

TEST(BridgeStream, ForwardsEveryEventInOrderThenCloses) {
  auto [src_tx, src_rx] = make_bounded_channel<int>(4);
  auto stream = bridge_stream(std::move(src_rx), [](int v) { return StreamEvent{StreamEvent::Stdout{std::to_string(v)}}; });
  ASSERT_TRUE(stream.has_value());
  std::thread producer([tx = std::move(src_tx)]() mutable {
    for (int i = 0; i < 100; ++i) tx.send(i);
  });
  std::vector<StreamEvent> events = drain(*stream);
  producer.join();
  ASSERT_EQ(events.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(events[i], StreamEvent{StreamEvent::Stdout{std::to_string(i)}});
}

TEST(BridgeStream, NeverHoldsMoreThan32EventsForASlowConsumer) {
  auto [src_tx, src_rx] = make_bounded_channel<int>(64);
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(src_tx.send(i));
  auto stream = bridge_stream(std::move(src_rx), [](int v) { return StreamEvent{StreamEvent::Exit{v}}; });
  ASSERT_TRUE(stream.has_value());
  ASSERT_TRUE(eventually([&] { return stream->queued() == kStreamChannelCapacity; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(stream->queued(), kStreamChannelCapacity);
  src_tx.close();
  auto events = drain(*stream);
  EXPECT_EQ(events.size(), 64u);
}

TEST(BridgeStream, EndsAfterTheConsumerDropsTheStream) {
  auto [src_tx, src_rx] = make_bounded_channel<int>(1);
  auto stream = bridge_stream(std::move(src_rx), [](int v) { return StreamEvent{StreamEvent::Exit{v}}; });
  ASSERT_TRUE(stream.has_value());
  ASSERT_TRUE(src_tx.send(1));
  ASSERT_EQ(stream->receive(), StreamEvent{StreamEvent::Exit{1}});
  { auto dropped = std::move(*stream); }
  // The bridge drops the next event and, with it, its end of the source; the
  // source's sender then fails.
  int attempts = 0;
  while (src_tx.send(2)) {
    ASSERT_LT(++attempts, 10000);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_LE(attempts, 3);
}

}  // namespace
}  // namespace quorrel::sdk

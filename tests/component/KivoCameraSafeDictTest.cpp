// The capture table: a released value's destructor re-entering the table,
// and counts under concurrent updates.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "KivoCameraSafeDict.h"

namespace {

using Table = KivoCameraSafeDict<std::int64_t, std::shared_ptr<int>>;

// Runs `body` on another thread and aborts the test binary if it has not
// returned within a few seconds: a thread blocked on the dictionary's
// semaphore cannot be recovered.
void runWithDeadlockGuard(std::function<void()> body) {
  std::packaged_task<void()> task(std::move(body));
  auto done = task.get_future();
  std::thread worker(std::move(task));
  if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: the dictionary's lock was re-entered\n");
    std::abort();
  }
  worker.join();
  done.get();
}

// A value whose destructor calls back into the dictionary that held it, as a
// capture processor's hooks reach the controller owning the table.
struct ReentrantValue {
  std::function<void()> onDestroy;
  ~ReentrantValue() {
    if (onDestroy) onDestroy();
  }
};

using ReentrantTable = KivoCameraSafeDict<int, std::unique_ptr<ReentrantValue>>;

TEST(KivoCameraSafeDict, ReleasedValueMayReenterAfterTheUpdate) {
  runWithDeadlockGuard([] {
    const auto table = ReentrantTable::create();
    std::vector<std::size_t> countsSeen;
    auto reentering = [&] {
      auto value = std::make_unique<ReentrantValue>();
      value->onDestroy = [&table, &countsSeen] {
        countsSeen.push_back(table->count());
        table->removeValue(99);
        (*table)[50] = nullptr;
      };
      return value;
    };

    (*table)[1] = reentering();
    (*table)[1] = std::make_unique<ReentrantValue>();  // replaces
    (*table)[2] = reentering();
    table->removeValue(2);

    // Each destructor saw the finished update: after the replacement one
    // entry, after the removal the entry gone (plus its own key 50).
    EXPECT_EQ(countsSeen, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(table->count(), 2u);
  });
}

// Reader threads count while writer threads insert and remove, as the
// motion handler reads the table while the session queue changes it.
TEST(KivoCameraSafeDict, ConcurrentCountSeesWholeUpdates) {
  constexpr int kWriters = 3, kReaders = 2;
  constexpr std::int64_t kKeysPerWriter = 400;
  const auto table = Table::create();
  std::atomic<bool> writing{true}, outOfRange{false};
  std::vector<std::thread> readers, writers;
  for (int r = 0; r < kReaders; ++r)
    readers.emplace_back([&] {
      while (writing.load())
        if (table->count() > kWriters * kKeysPerWriter) outOfRange = true;
    });
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      const std::int64_t base = w * kKeysPerWriter;
      for (std::int64_t k = 0; k < kKeysPerWriter; ++k) (*table)[base + k] = std::make_shared<int>(w);
      for (std::int64_t k = 0; k < kKeysPerWriter; k += 2) table->removeValue(base + k);
    });
  for (auto& t : writers) t.join();
  writing = false;
  for (auto& t : readers) t.join();
  EXPECT_FALSE(outOfRange.load());
  EXPECT_EQ(table->count(), static_cast<std::size_t>(kWriters * kKeysPerWriter / 2));
}

}  // namespace

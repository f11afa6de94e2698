// KivoCameraLockedPointer, meant for ThreadSanitizer: readers see one whole
// stored object while writers replace it, and a replaced object is destroyed
// after the lock is released.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "KivoCameraLockedPointer.h"

namespace {

// Two fields written together; a torn or freed object breaks the relation.
struct Pair {
  explicit Pair(int n) : first(n), second(2 * n) {}
  int first;
  int second;
};

TEST(KivoCameraLockedPointerTest, ReadersSeeWholeObjectsWhileWritersReplaceThem) {
  KivoCameraLockedPointer<std::shared_ptr<const Pair>> holder(std::make_shared<const Pair>(0));
  KivoCameraLockedPointer<std::weak_ptr<const Pair>> weakHolder;
  constexpr int kRounds = 5000;
  std::atomic<int> broken{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 1; i <= kRounds; ++i) {
        auto fresh = std::make_shared<const Pair>(i * 2 + w);
        weakHolder.store(fresh);
        holder.store(std::move(fresh));
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        const auto seen = holder.load();
        if (!seen || seen->second != 2 * seen->first) broken.fetch_add(1);
        const auto alive = weakHolder.load().lock();
        if (alive && alive->second != 2 * alive->first) broken.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(broken.load(), 0);
  const auto last = holder.load();
  ASSERT_NE(last, nullptr);
  EXPECT_GE(last->first, 2 * kRounds) << "the last store of a writer is kept";
}

// Whether the holder could be read from another thread while the replaced
// object was being destroyed: it can only if the lock is free by then.
struct ReadsHolderWhenDestroyed {
  KivoCameraLockedPointer<std::shared_ptr<ReadsHolderWhenDestroyed>>* holder = nullptr;
  std::shared_ptr<ReadsHolderWhenDestroyed>* seenInDestructor = nullptr;
  bool* readWhileDestroying = nullptr;

  ~ReadsHolderWhenDestroyed() {
    if (!holder) return;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread reader([&] {
      auto seen = holder->load();
      std::lock_guard<std::mutex> lock(mutex);
      *seenInDestructor = std::move(seen);
      finished = true;
      done.notify_one();
    });
    {
      // Waits only as long as a held lock would block the reader for good; a
      // free lock lets it finish at once.
      std::unique_lock<std::mutex> lock(mutex);
      *readWhileDestroying = done.wait_for(lock, std::chrono::seconds(20), [&] { return finished; });
    }
    reader.join();
  }
};

TEST(KivoCameraLockedPointerTest, TheReplacedObjectIsDestroyedOutsideTheLock) {
  KivoCameraLockedPointer<std::shared_ptr<ReadsHolderWhenDestroyed>> holder;
  std::shared_ptr<ReadsHolderWhenDestroyed> seenInDestructor;
  bool readWhileDestroying = false;
  auto first = std::make_shared<ReadsHolderWhenDestroyed>();
  first->holder = &holder;
  first->seenInDestructor = &seenInDestructor;
  first->readWhileDestroying = &readWhileDestroying;
  holder.store(std::move(first));

  const auto second = std::make_shared<ReadsHolderWhenDestroyed>();
  holder.store(second);  // the holder had the last reference to the first
  EXPECT_TRUE(readWhileDestroying);
  EXPECT_EQ(seenInDestructor, second) << "the new object is in place before the old one goes";
}

}  // namespace

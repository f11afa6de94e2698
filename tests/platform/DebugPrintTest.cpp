// debugPrint: the escaping of log lines (the scenario traces show quotes and
// apostrophes), whole lines from many threads, and a capture that is never
// called twice at once.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/DebugPrint.h"

namespace {

TEST(DebugDescription, QuotesAndEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\r\nb\n\tx", R"("a\r\nb\n\tx")"},
      {std::string("a\0b", 3), R"("a\0b")"},
      {R"(C:\dir\)", R"("C:\\dir\\")"},
      {"\x1b[0m\x01\x07\x0b\x1f\x7f", R"("\u{1B}[0m\u{1}\u{7}\u{B}\u{1F}\u{7F}")"},
      {"h\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x93\xb7", "\"h\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x93\xb7\""},  // UTF-8 as it is
      {"\x80\xff", "\"\x80\xff\""},  // stray high bytes too
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(debugDescription(text), expected);
}

// Each fwrite on an unbuffered cookie stream reaches `write` as one chunk.
struct ChunkRecorder {
  std::mutex mutex;
  std::vector<std::string> chunks;

  static ssize_t write(void* self, const char* data, std::size_t size) {
    auto& recorder = *static_cast<ChunkRecorder*>(self);
    const std::lock_guard lock(recorder.mutex);
    recorder.chunks.emplace_back(data, size);
    return static_cast<ssize_t>(size);
  }
};

TEST(DebugPrint, LinesFromManyThreadsArriveWholeAndInOrder) {
  constexpr int kThreads = 4, kLines = 100;
  ChunkRecorder recorder;
  cookie_io_functions_t functions{};
  functions.write = &ChunkRecorder::write;
  std::FILE* stream = fopencookie(&recorder, "w", functions);
  ASSERT_NE(stream, nullptr);
  std::setvbuf(stream, nullptr, _IONBF, 0);
  {
    const ScopedDebugPrintStream redirect(stream);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) debugPrint(std::to_string(t) + "\t\"" + std::to_string(i) + "\"");
      });
    for (auto& thread : threads) thread.join();
  }
  std::fclose(stream);
  ASSERT_EQ(recorder.chunks.size(), static_cast<std::size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const auto& chunk : recorder.chunks) {
    const int t = chunk.at(1) - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << chunk;
    EXPECT_EQ(chunk, "\"" + std::to_string(t) + "\\t\\\"" + std::to_string(next[t]++) + "\\\"\"\n");
  }
}

TEST(DebugPrint, CaptureCallsNeverOverlap) {
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};
  int received = 0;  // guarded by the serialisation under test
  {
    const ScopedDebugPrintCapture capture([&](std::string_view) {
      if (inside.exchange(true)) ++overlaps;
      std::this_thread::yield();  // widens the window another call would fall into
      ++received;
      inside = false;
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([] {
        for (int i = 0; i < 50; ++i) debugPrint("line");
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(received, 200);
}

}  // namespace

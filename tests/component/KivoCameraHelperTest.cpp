// The free-memory probe: the kernel call it makes, the arithmetic on the
// counts, and probing while the answer is swapped on other threads.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "KivoCameraHelper.h"
#include "Mach/HostStatistics.h"

namespace {

constexpr std::uint64_t kUnreadable = 9223372036854775807ULL;

HostStatisticsProvider reporting(natural_t freeCount, natural_t inactiveCount) {
  return [=](vm_statistics_data_t& info) {
    info.free_count = freeCount;
    info.inactive_count = inactiveCount;
    return KERN_SUCCESS;
  };
}

TEST(HostStatistics, ReadsThisMachine) {
  vm_statistics_data_t info{};
  mach_msg_type_number_t count = HOST_VM_INFO_COUNT + 5;
  ASSERT_EQ(host_statistics(mach_host_self(), HOST_VM_INFO, &info, &count), KERN_SUCCESS);
  EXPECT_EQ(count, 15u);
  EXPECT_GT(info.free_count, 0u);
  const std::uint64_t available = KivoCameraHelper::availableMemory();
  EXPECT_NE(available, kUnreadable);
  EXPECT_GT(available, 0u);
  EXPECT_EQ(available % vm_page_size(), 0u);
}

TEST(HostStatistics, RejectsBadCallsLeavingRecordAndCountUntouched) {
  const struct {
    const char* what;
    host_t host;
    host_flavor_t flavor;
    mach_msg_type_number_t count;
    bool nullInfo;
  } calls[] = {{"other flavour", mach_host_self(), 1, HOST_VM_INFO_COUNT, false},
               {"short count", mach_host_self(), HOST_VM_INFO, HOST_VM_INFO_COUNT - 1, false},
               {"no record", mach_host_self(), HOST_VM_INFO, HOST_VM_INFO_COUNT, true},
               {"other host", mach_host_self() + 1, HOST_VM_INFO, HOST_VM_INFO_COUNT, false}};
  for (const auto& call : calls) {
    vm_statistics_data_t info{};
    info.free_count = 12345;
    mach_msg_type_number_t count = call.count;
    EXPECT_NE(host_statistics(call.host, call.flavor, call.nullInfo ? nullptr : &info, &count), KERN_SUCCESS)
        << call.what;
    EXPECT_EQ(info.free_count, 12345u) << call.what;
    EXPECT_EQ(count, call.count) << call.what;
  }
}

TEST(AvailableMemory, MultipliesThe32BitSumByThePageSize) {
  const struct {
    const char* what;
    natural_t freeCount, inactiveCount;
    vm_size_t pageSize;
    std::uint64_t expected;
  } probes[] = {{"plain", 100, 50, 4096, 614400},
                {"sum wraps", 0xFFFFFFFFu, 2, 16384, 16384},
                {"sum wraps to zero", 0x80000000u, 0x80000000u, 4096, 0},
                {"product is 64-bit", 0xFFFFFFFFu, 0, 16384, 70368744161280ULL}};
  for (const auto& c : probes) {
    const ScopedHostStatisticsOverride answer(reporting(c.freeCount, c.inactiveCount), c.pageSize);
    EXPECT_EQ(KivoCameraHelper::availableMemory(), c.expected) << c.what;
  }
}

TEST(AvailableMemory, UnreadableStatisticsCountAsPlenty) {
  const ScopedHostStatisticsOverride failing(
      [](vm_statistics_data_t& info) {
        info.free_count = 1;  // ignored on failure
        return KERN_FAILURE;
      },
      16384);
  EXPECT_EQ(KivoCameraHelper::availableMemory(), kUnreadable);
  const ScopedHostStatisticsOverride empty(HostStatisticsProvider{}, 16384);
  EXPECT_EQ(KivoCameraHelper::availableMemory(), kUnreadable);
}

// Probes from several threads while the answer is swapped underneath.
TEST(AvailableMemory, ProbesFromManyThreadsWhileOverridesChange) {
  const ScopedHostStatisticsOverride outer(reporting(10, 5), 4096);
  std::atomic<bool> running{true};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> probes;
  for (int i = 0; i < 3; ++i) {
    probes.emplace_back([&] {
      while (running.load()) {
        const std::uint64_t value = KivoCameraHelper::availableMemory();
        // A page size and counts read across a swap may mix the two answers.
        if (value != 15 * 4096 && value != 7 * 16384 && value != 15 * 16384 && value != 7 * 4096) ++unexpected;
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    const ScopedHostStatisticsOverride inner(reporting(4, 3), 16384);
    std::this_thread::yield();
  }
  running = false;
  for (auto& t : probes) t.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(KivoCameraHelper::availableMemory(), 15u * 4096);
}

}  // namespace

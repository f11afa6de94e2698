#pragma once

// The kernel's host virtual-memory statistics, as the memory probe asks for
// them. On this machine the answer comes from /proc/meminfo: free_count is
// MemFree and inactive_count is Inactive, in pages (each saturating at the
// largest 32-bit count); the other counters stay 0. The simulator replaces
// the answer and the page size with a ScopedHostStatisticsOverride.
//
// Thread-safe
// Every function may be called from any thread, also while overrides are
// installed or removed.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

using kern_return_t = int;
using natural_t = std::uint32_t;
using integer_t = std::int32_t;
using mach_port_t = natural_t;
using host_t = mach_port_t;
using host_flavor_t = integer_t;
using mach_msg_type_number_t = natural_t;
using vm_size_t = std::uintptr_t;

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_INVALID_HOST = 22;

inline constexpr host_flavor_t HOST_VM_INFO = 2;

// Page counts of the host's virtual memory.
struct vm_statistics {
  natural_t free_count;
  natural_t active_count;
  natural_t inactive_count;
  natural_t wire_count;
  natural_t zero_fill_count;
  natural_t reactivations;
  natural_t pageins;
  natural_t pageouts;
  natural_t faults;
  natural_t cow_faults;
  natural_t lookups;
  natural_t hits;
  natural_t purgeable_count;
  natural_t purges;
  natural_t speculative_count;
};
using vm_statistics_data_t = vm_statistics;

// The record size in 32-bit words.
inline constexpr mach_msg_type_number_t HOST_VM_INFO_COUNT =
    sizeof(vm_statistics_data_t) / sizeof(integer_t);
static_assert(HOST_VM_INFO_COUNT == 15);

// The port naming this host.
host_t mach_host_self();

// Fills `*info` with the host's statistics and sets `*count` to
// HOST_VM_INFO_COUNT. Fails, leaving both untouched, with
// KERN_INVALID_HOST for another host, KERN_INVALID_ARGUMENT for a null
// pointer or a flavour other than HOST_VM_INFO, KERN_FAILURE for a `*count`
// below HOST_VM_INFO_COUNT or when the statistics cannot be read.
kern_return_t host_statistics(host_t host, host_flavor_t flavor,
                              vm_statistics_data_t* info,
                              mach_msg_type_number_t* count);

// Bytes per page of the counts above.
vm_size_t vm_page_size();

// The statistics a /proc/meminfo text gives (what host_statistics reads on
// this machine): `info` gets free_count from MemFree and inactive_count from
// Inactive, in pages of `pageSize` bytes, the other counters 0. Fails,
// leaving `info` untouched, with KERN_FAILURE when either line is missing or
// has no number, KERN_INVALID_ARGUMENT for a page size of 0.
kern_return_t hostStatisticsFromMeminfo(std::string_view text, vm_size_t pageSize, vm_statistics_data_t& info);

// Answers host_statistics in place of the machine: fills the record and
// returns KERN_SUCCESS, or returns a failure code. Called without any lock
// held, possibly from several threads at once.
using HostStatisticsProvider =
    std::function<kern_return_t(vm_statistics_data_t& info)>;

// While alive, host_statistics asks `provider` (an empty one fails with
// KERN_FAILURE) and vm_page_size() returns `pageSize`. Destruction restores
// what was installed before; nested overrides must end in reverse order.
class ScopedHostStatisticsOverride {
 public:
  [[nodiscard]] ScopedHostStatisticsOverride(HostStatisticsProvider provider,
                                             vm_size_t pageSize);
  ~ScopedHostStatisticsOverride();
  ScopedHostStatisticsOverride(const ScopedHostStatisticsOverride&) = delete;
  ScopedHostStatisticsOverride& operator=(const ScopedHostStatisticsOverride&) =
      delete;

  struct State;

 private:
  std::shared_ptr<const State> previous_;
};

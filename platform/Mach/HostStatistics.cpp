#include "Mach/HostStatistics.h"

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Foundation/ThreadSafety.h"

struct ScopedHostStatisticsOverride::State {
  HostStatisticsProvider provider;
  vm_size_t pageSize;
};

namespace {

constexpr host_t kHostPort = 0x103;

// The installed override, if any. Readers copy the pointer under the mutex
// and call the provider after letting go of it.
struct OverrideSlot {
  kivo::Mutex mutex;
  std::shared_ptr<const ScopedHostStatisticsOverride::State> current KIVO_GUARDED_BY(mutex);
};

OverrideSlot& overrideSlot() {
  static OverrideSlot slot;
  return slot;
}

std::shared_ptr<const ScopedHostStatisticsOverride::State> currentOverride() {
  auto& slot = overrideSlot();
  const kivo::MutexLock lock(slot.mutex);
  return slot.current;
}

vm_size_t systemPageSize() {
  static const vm_size_t size = [] {
    const long value = ::sysconf(_SC_PAGESIZE);
    return value > 0 ? static_cast<vm_size_t>(value) : vm_size_t{4096};
  }();
  return size;
}

// The value of one "Name:   123 kB" line of /proc/meminfo, in bytes, if the
// line is that field.
std::optional<std::uint64_t> meminfoBytes(std::string_view line,
                                          std::string_view field) {
  if (line.size() <= field.size() || !line.starts_with(field) ||
      line[field.size()] != ':') {
    return std::nullopt;
  }
  line.remove_prefix(field.size() + 1);
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  std::uint64_t value = 0;
  const auto [end, error] =
      std::from_chars(line.data(), line.data() + line.size(), value);
  if (error != std::errc{}) return std::nullopt;
  line.remove_prefix(static_cast<std::size_t>(end - line.data()));
  if (line.find("kB") != std::string_view::npos) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    value = value > kMax / 1024 ? kMax : value * 1024;
  }
  return value;
}

natural_t pagesOf(std::uint64_t bytes, vm_size_t pageSize) {
  const std::uint64_t pages = bytes / pageSize;
  constexpr std::uint64_t kMax = std::numeric_limits<natural_t>::max();
  return static_cast<natural_t>(pages > kMax ? kMax : pages);
}

kern_return_t readMachineStatistics(vm_statistics_data_t& info) {
  std::FILE* file = std::fopen("/proc/meminfo", "r");
  if (file == nullptr) return KERN_FAILURE;
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return hostStatisticsFromMeminfo(text, systemPageSize(), info);
}

}  // namespace

kern_return_t hostStatisticsFromMeminfo(std::string_view text, vm_size_t pageSize, vm_statistics_data_t& info) {
  if (pageSize == 0) return KERN_INVALID_ARGUMENT;
  std::optional<std::uint64_t> freeBytes;
  std::optional<std::uint64_t> inactiveBytes;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!freeBytes) freeBytes = meminfoBytes(line, "MemFree");
    if (!inactiveBytes) inactiveBytes = meminfoBytes(line, "Inactive");
  }
  if (!freeBytes || !inactiveBytes) return KERN_FAILURE;
  info = vm_statistics_data_t{};
  info.free_count = pagesOf(*freeBytes, pageSize);
  info.inactive_count = pagesOf(*inactiveBytes, pageSize);
  return KERN_SUCCESS;
}

host_t mach_host_self() { return kHostPort; }

kern_return_t host_statistics(host_t host, host_flavor_t flavor,
                              vm_statistics_data_t* info,
                              mach_msg_type_number_t* count) {
  if (host != kHostPort) return KERN_INVALID_HOST;
  if (info == nullptr || count == nullptr || flavor != HOST_VM_INFO) {
    return KERN_INVALID_ARGUMENT;
  }
  if (*count < HOST_VM_INFO_COUNT) return KERN_FAILURE;

  vm_statistics_data_t result{};
  kern_return_t status = KERN_FAILURE;
  if (const auto installed = currentOverride()) {
    if (installed->provider) status = installed->provider(result);
  } else {
    status = readMachineStatistics(result);
  }
  if (status != KERN_SUCCESS) return status;
  *info = result;
  *count = HOST_VM_INFO_COUNT;
  return KERN_SUCCESS;
}

vm_size_t vm_page_size() {
  if (const auto installed = currentOverride()) return installed->pageSize;
  return systemPageSize();
}

ScopedHostStatisticsOverride::ScopedHostStatisticsOverride(
    HostStatisticsProvider provider, vm_size_t pageSize) {
  auto state =
      std::make_shared<const State>(State{std::move(provider), pageSize});
  auto& slot = overrideSlot();
  const kivo::MutexLock lock(slot.mutex);
  previous_ = std::exchange(slot.current, std::move(state));
}

ScopedHostStatisticsOverride::~ScopedHostStatisticsOverride() {
  std::shared_ptr<const State> ended;  // released after the mutex
  auto& slot = overrideSlot();
  const kivo::MutexLock lock(slot.mutex);
  ended = std::exchange(slot.current, std::move(previous_));
}

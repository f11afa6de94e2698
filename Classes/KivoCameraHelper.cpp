#include "KivoCameraHelper.h"

#include <limits>

#include "Mach/HostStatistics.h"

std::uint64_t KivoCameraHelper::availableMemory() {
  vm_statistics_data_t statistics{};
  mach_msg_type_number_t count = HOST_VM_INFO_COUNT;
  if (host_statistics(mach_host_self(), HOST_VM_INFO, &statistics, &count) !=
      KERN_SUCCESS) {
    return static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  }
  const auto pages = static_cast<std::uint32_t>(statistics.free_count +
                                                statistics.inactive_count);
  return static_cast<std::uint64_t>(vm_page_size()) * pages;
}

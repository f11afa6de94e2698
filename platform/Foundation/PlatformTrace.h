#pragma once
// Observation of the state-changing platform calls (session start, device
// configuration, photo requests, idle timer...). Platform stand-ins report
// each such call here; a host that wants a trace installs a sink. Without a
// sink a report costs one atomic load.
// Thread-safe
// Reports may come from any queue; the sink is called on the reporting
// thread, one call at a time.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

using PlatformCallSink =
    std::function<void(std::string_view receiver, std::string_view selector, std::string_view arguments)>;

/// True while a sink is installed; lets callers skip formatting arguments.
bool isPlatformCallTraced();

/// Reports one call: `receiver` names the object (a camera's name, "session",
/// "photo-output"...), `selector` the call, `arguments` its formatted
/// arguments (may be empty).
void tracePlatformCall(std::string_view receiver, std::string_view selector, std::string_view arguments = {});

/// Installs a sink for its lifetime; restores the previous one afterwards.
class [[nodiscard]] ScopedPlatformCallSink {
 public:
  explicit ScopedPlatformCallSink(PlatformCallSink sink);
  ~ScopedPlatformCallSink();
  ScopedPlatformCallSink(const ScopedPlatformCallSink&) = delete;
  ScopedPlatformCallSink& operator=(const ScopedPlatformCallSink&) = delete;

 private:
  std::shared_ptr<const PlatformCallSink> previous_;
};

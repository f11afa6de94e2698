#pragma once
// Internal to platform/AVFoundation: reporting state-changing calls to the
// platform-call trace (formatting arguments only when someone listens), and
// the error refused capture operations hand back.
// Thread-safe

#include <string>
#include <string_view>
#include <utility>

#include "Foundation/NSError.h"
#include "Foundation/PlatformTrace.h"

namespace av_detail {

template <class Format>
void traceCall(std::string_view receiver, std::string_view selector, Format&& formatArguments) {
  if (!isPlatformCallTraced()) return;
  const std::string arguments = std::forward<Format>(formatArguments)();
  tracePlatformCall(receiver, selector, arguments);
}

/// The error every refused capture operation reports unless its layer gives one.
NSError genericError();
/// A camera that is missing or whose layer has gone.
NSError deviceNotConnectedError();
/// A photo asked of an output whose session is not running.
NSError sessionNotRunningError();

}  // namespace av_detail

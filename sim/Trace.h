#pragma once
// The simulated world's trace: every observable thing, one line each, in the
// order it happened.
// Thread-safe
// Lines may come from any queue; each line is recorded and handed to the
// sink whole, one at a time.

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Foundation/NotificationCenter.h"
#include "Foundation/ThreadSafety.h"

namespace sim {

class Trace {
 public:
  using Sink = std::function<void(std::string_view line)>;

  /// Where lines go besides the record (kivocam prints them); none by default.
  void setSink(Sink sink);

  /// Whether lines are kept for `lines()` (on by default; long runs turn it off).
  void setRecording(bool recording);

  void add(std::string line);

  std::vector<std::string> lines() const;
  /// The lines recorded since the last `take`, removing them from the record.
  std::vector<std::string> take();
  void clear();

  // Line builders, in the trace's formats; `queue` is the label of the queue
  // that ran the code.
  static std::string platformLine(std::string_view receiver, std::string_view selector,
                                  std::string_view arguments, std::string_view queue);
  /// `event NAME JSON @QUEUE`: keys sorted, texts as JSON strings, numbers
  /// as numbers (integers stay integers).
  static std::string eventLine(std::string_view name, const std::map<std::string, UserInfoValue>& parameters,
                               std::string_view queue);
  /// A log line exactly as the component writes it (its debug form).
  static std::string logLine(std::string_view text);

 private:
  mutable kivo::Mutex mutex_;
  Sink sink_ KIVO_GUARDED_BY(mutex_);
  bool recording_ KIVO_GUARDED_BY(mutex_) = true;
  std::vector<std::string> lines_ KIVO_GUARDED_BY(mutex_);
};

}  // namespace sim

#pragma once
// Reading a scenario file the way kivocam does, so that the tool and the
// fuzzer share one reader.

#include <cstddef>
#include <optional>
#include <string>

namespace kivocam {

/// The largest scenario file kivocam reads: 16 MiB.
inline constexpr std::size_t kMaxScenarioBytes = std::size_t{16} << 20;

/// Reads the whole file at `path` into `text` (replacing what it held).
/// Returns why it cannot, if it cannot: the system's reason, or "larger than
/// N MiB" (or "N bytes") for a file of more than `limit` bytes. A regular
/// file is refused by its size before it is read; a file whose size is not
/// known beforehand (a pipe, a device) is read no further than one byte past
/// the limit.
std::optional<std::string> readScenarioFile(const std::string& path, std::string& text,
                                            std::size_t limit = kMaxScenarioBytes);

}  // namespace kivocam

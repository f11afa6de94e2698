#pragma once

// The process's debug-form line writer: each text goes to standard output in
// double quotes with its special characters escaped, as one line.
//
// Thread-safe
// Every function may be called from any thread.
// Lines never interleave: each is handed to stdio in one write.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// `text` in double quotes. A double quote, an apostrophe and a backslash get
// a backslash before them (as the platform's debug form does); newline, carriage return and tab become \n \r \t and NUL becomes \0,
// so the result is one line; any other byte below 0x20, and 0x7F, becomes
// \u{X} in uppercase hex without leading zeros. Bytes from 0x80 up (UTF-8)
// pass unchanged.
std::string debugDescription(std::string_view text);

// Writes debugDescription(text) and a newline to standard output with a
// single fwrite, or hands `text` to the capturing sink if one is installed.
void debugPrint(std::string_view text);

// Receives each text given to debugPrint, unescaped. Calls are serialised;
// a sink must not call debugPrint itself.
using DebugPrintSink = std::function<void(std::string_view text)>;

// While alive, debugPrint hands its texts to `sink` instead of writing them.
// Destruction restores the previous sink; nested captures end in reverse
// order.
class ScopedDebugPrintCapture {
 public:
  [[nodiscard]] explicit ScopedDebugPrintCapture(DebugPrintSink sink);
  ~ScopedDebugPrintCapture();
  ScopedDebugPrintCapture(const ScopedDebugPrintCapture&) = delete;
  ScopedDebugPrintCapture& operator=(const ScopedDebugPrintCapture&) = delete;

 private:
  std::shared_ptr<const DebugPrintSink> previous_;
};

// While alive, debugPrint writes to `stream` instead of standard output.
// Destruction restores the previous stream once no write is in progress, so
// the stream may be closed right after. Nested redirections end in reverse
// order.
class ScopedDebugPrintStream {
 public:
  [[nodiscard]] explicit ScopedDebugPrintStream(std::FILE* stream);
  ~ScopedDebugPrintStream();
  ScopedDebugPrintStream(const ScopedDebugPrintStream&) = delete;
  ScopedDebugPrintStream& operator=(const ScopedDebugPrintStream&) = delete;

 private:
  std::FILE* previous_;
};

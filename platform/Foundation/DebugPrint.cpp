#include "Foundation/DebugPrint.h"

#include <charconv>
#include <utility>

#include "Foundation/ThreadSafety.h"

namespace {

// Where lines go. One mutex covers the choice and the write itself, which
// serialises sink calls and lets a redirection end only between writes.
struct Output {
  kivo::Mutex mutex;
  std::shared_ptr<const DebugPrintSink> sink KIVO_GUARDED_BY(mutex);
  std::FILE* stream KIVO_GUARDED_BY(mutex) = nullptr;  // null: standard output
};

Output& output() {
  // Never destroyed: threads may still print while the process exits.
  static Output* const instance = new Output;
  return *instance;
}

// Appends a backslash and `escape` (one character or a \u{...} form).
// Characters are appended one at a time: g++ 12 at -O3 misreports
// std::string appends of short literals (-Wrestrict).
void appendEscaped(std::string& out, std::string_view escape) {
  out.push_back('\\');
  for (const char c : escape) out.push_back(c);
}

void appendEscapedControl(std::string& out, unsigned char c) {
  char digits[2];
  const auto result = std::to_chars(digits, digits + sizeof digits, c, 16);
  appendEscaped(out, "u{");
  for (const char* d = digits; d != result.ptr; ++d)
    out.push_back(*d >= 'a' ? static_cast<char>(*d - 'a' + 'A') : *d);
  out.push_back('}');
}

}  // namespace

std::string debugDescription(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': appendEscaped(out, "\""); break;
      case '\'': appendEscaped(out, "'"); break;
      case '\\': appendEscaped(out, "\\"); break;
      case '\n': appendEscaped(out, "n"); break;
      case '\r': appendEscaped(out, "r"); break;
      case '\t': appendEscaped(out, "t"); break;
      case '\0': appendEscaped(out, "0"); break;
      default:
        if (c < 0x20 || c == 0x7F) {
          appendEscapedControl(out, c);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

void debugPrint(std::string_view text) {
  std::string line = debugDescription(text);
  line.push_back('\n');
  auto& out = output();
  const kivo::MutexLock lock(out.mutex);
  if (out.sink) {
    (*out.sink)(text);
    return;
  }
  std::FILE* stream = out.stream != nullptr ? out.stream : stdout;
  std::fwrite(line.data(), 1, line.size(), stream);
}

ScopedDebugPrintCapture::ScopedDebugPrintCapture(DebugPrintSink sink) {
  auto installed = std::make_shared<const DebugPrintSink>(std::move(sink));
  auto& out = output();
  const kivo::MutexLock lock(out.mutex);
  previous_ = std::exchange(out.sink, std::move(installed));
}

ScopedDebugPrintCapture::~ScopedDebugPrintCapture() {
  std::shared_ptr<const DebugPrintSink> ended;  // released after the mutex
  auto& out = output();
  const kivo::MutexLock lock(out.mutex);
  ended = std::exchange(out.sink, std::move(previous_));
}

ScopedDebugPrintStream::ScopedDebugPrintStream(std::FILE* stream) {
  auto& out = output();
  const kivo::MutexLock lock(out.mutex);
  previous_ = std::exchange(out.stream, stream);
}

ScopedDebugPrintStream::~ScopedDebugPrintStream() {
  auto& out = output();
  const kivo::MutexLock lock(out.mutex);
  out.stream = previous_;
}

#include "ScenarioFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kivocam {

namespace {

// Closes a file descriptor at the end of its scope.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::string reasonOf(int error) { return std::strerror(error); }

std::string tooLarge(std::size_t limit) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  if (limit != 0 && limit % kMiB == 0) return "larger than " + std::to_string(limit / kMiB) + " MiB";
  return "larger than " + std::to_string(limit) + " bytes";
}

}  // namespace

std::optional<std::string> readScenarioFile(const std::string& path, std::string& text, std::size_t limit) {
  text.clear();
  const FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return reasonOf(errno);
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) return reasonOf(errno);
  if (S_ISDIR(info.st_mode)) return reasonOf(EISDIR);
  if (S_ISREG(info.st_mode)) {
    if (static_cast<std::uintmax_t>(info.st_size) > limit) return tooLarge(limit);
    text.reserve(static_cast<std::size_t>(info.st_size));
  }
  char chunk[1 << 16];
  while (text.size() <= limit) {
    const std::size_t wanted = std::min(sizeof chunk, limit + 1 - text.size());
    const ssize_t count = ::read(file.fd, chunk, wanted);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return reasonOf(errno);
    if (count == 0) return std::nullopt;
    text.append(chunk, static_cast<std::size_t>(count));
  }
  return tooLarge(limit);
}

}  // namespace kivocam

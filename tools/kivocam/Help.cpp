// The text of `kivocam --help`: the command line, then the scenario language
// as the command table states it, then the runner's choices where the
// language leaves room.

#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Runner.h"

namespace kivocam {

namespace {

constexpr std::string_view kHead =
    R"(kivocam - runs a KivoCamera scenario on the simulated platform and prints its trace

usage:
  kivocam run FILE [--photos DIR] [--realtime]
  kivocam --help

  --photos DIR   write every photo delivered to camera:didCapturePhoto: to
                 DIR/photo-N.jpg (N from 1; DIR is created if missing)
  --realtime     threaded queues and the real clock; advance waits for real

exit status: 0 every line ran; 1 a line was wrong (the trace up to it is
printed, then FILE:LINE: message on standard error); 2 a bad command line, a
file that cannot be read (with the system's reason) or larger than 16 MiB, or
a photo directory that cannot be created or written in; 3 the run cannot go
on for a reason outside the scenario (out of memory, the trace or a photo
cannot be written, an internal error): kivocam: REASON on standard error.

A scenario has one command a line; words are separated by blanks; a word that
begins with # starts a comment that runs to the end of the line (a line whose
first non-blank character is # is all comment); blank lines are skipped; a
UTF-8 byte-order mark at the start of the file is ignored. Each line is echoed
as "> LINE" (without its comment), then performed, then every ready block
runs (no time passes); the trace is flushed after each line. A line that does
not fit its command's form is refused with the form expected.
)";

constexpr std::string_view kChoices = R"(
Choices of this runner:
  - Numbers are decimal: an optional sign, digits with an optional fraction
    and an optional exponent (1, -0.5, .5, 2e3); inf and nan are not numbers.
    Whole numbers (counts, codes, raw values) take no fraction. A number too
    small to represent (1e-400) reads as 0.
  - set takes Booleans as true/false, raw enumeration values as integers and
    platform constants by name, as listed under Properties.
  - move-view and hide view act on the controller's view even when it is not
    attached (reading the view loads it, as on the platform).
  - delegate lines made after create give the controller the new delegate at
    once; delegate none clears it; delegate release only drops the host's
    reference.
  - print camera.* prints nil while there is no controller; the views'
    paths print nil while the view is not loaded or the subview not made;
    object properties print their class name. device.* reads the
    controller's current camera (else the newest session's).
  - After the last line nothing more is printed: the host releases the
    controller silently and queued work may run for up to 15 virtual
    seconds before the world is torn down.
  - advance takes at most 86400 s (one day) in one line, and the virtual
    clock (1000 s at the start) cannot pass 1e9 s; a longer advance is a
    wrong line.
  - A line whose queued work never settles (more than 1,000,000 blocks in
    one instant) is a wrong line.
)";

constexpr std::size_t kColumn = 38;
constexpr std::size_t kWidth = 100;

std::string_view needsNote(Needs needs) {
  switch (needs) {
    case Needs::nothing: return {};
    case Needs::controller: return "[needs a controller]";
    case Needs::noController: return "[the host holds no controller]";
    case Needs::beforeCreate: return "[before create]";
    case Needs::session: return "[needs a capture session]";
    case Needs::openRequest: return "[needs an open request]";
    case Needs::alert: return "[needs a presented alert]";
  }
  return {};
}

// The words of `text` in lines of at most `width` characters (a longer word
// stands alone).
std::vector<std::string> wrap(std::string_view text, std::size_t width) {
  std::vector<std::string> lines;
  std::string line;
  while (!text.empty()) {
    const std::size_t blank = text.find(' ');
    const std::string_view word = text.substr(0, blank);
    text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
    if (!line.empty() && line.size() + 1 + word.size() > width) lines.push_back(std::exchange(line, {}));
    if (!line.empty()) line += ' ';
    line += word;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// "  TERM   text", the text wrapped in its column; a long term on a line of
// its own.
void entry(std::string& out, std::string_view term, std::string_view text) {
  std::string head = "  " + std::string(term);
  const auto lines = wrap(text, kWidth - kColumn);
  if (head.size() >= kColumn || lines.empty()) out += std::exchange(head, {}) + "\n";
  for (const auto& line : lines) {
    head.resize(kColumn, ' ');
    out += std::exchange(head, {}) + line + "\n";
  }
}

std::string build() {
  std::string out(kHead);
  for (const Section& section : commandSections()) {
    out += "\n" + std::string(section.title) + ":\n";
    for (const Command& command : section.commands) {
      std::string text(command.meaning);
      if (const auto note = needsNote(command.needs); !note.empty()) text += " " + std::string(note);
      entry(out, command.usage, text);
    }
  }
  out += "\nCamera options (world camera):\n";
  for (const CameraOption& option : cameraOptions()) entry(out, option.usage, option.meaning);
  out += "\nProperties (set NAME VALUE):\n";
  for (const Property& property : properties()) entry(out, property.name, describe(property.value));
  out += "\nPaths (print PATH):\n";
  std::string paths;
  for (const Choice& path : inspectionPaths()) paths += (paths.empty() ? "" : " ") + std::string(path.word);
  for (const auto& line : wrap(paths, kWidth - 2)) out += "  " + line + "\n";
  out += kChoices;
  return out;
}

}  // namespace

std::string_view helpText() {
  static const std::string text = build();
  return text;
}

}  // namespace kivocam

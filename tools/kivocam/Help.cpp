// The text of `kivocam --help` and the reference docs/scenario-language.md:
// one document, built from the tables the runner reads lines with (commands
// and their arguments, camera options, photo faults, delegate selectors,
// properties, print paths) and the runner's own notes, rendered twice: as
// plain text for the terminal and as Markdown for the reference.
//
// Prose is written with `code` marks: the Markdown keeps them, the plain text
// drops them.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Foundation/TraceFormat.h"
#include "Runner.h"
#include "RunnerDelegate.h"
#include "Scenario.h"
#include "sim/capture/CaptureSimulation.h"

namespace kivocam {

namespace {

constexpr std::string_view kTitle =
    "kivocam - runs a KivoCamera scenario on the simulated platform and prints its trace, or shows the camera in a "
    "window";
constexpr std::string_view kUsage[] = {
    "kivocam run FILE [--photos DIR] [--snapshots DIR] [--realtime] [--camera NAME]",
    "kivocam live [--camera NAME] [--photos DIR] [--snapshots DIR] [--script FILE] [--screenshot PATH]",
    "kivocam cameras", "kivocam --help"};

constexpr std::size_t kColumn = 38;
constexpr std::size_t kWidth = 100;
constexpr std::size_t kProseWidth = 78;

/// One row: a term (a line's form, an option, a path…), what it means, and
/// notes on its arguments.
struct Item {
  std::string term;
  std::string text;
  std::vector<std::string> notes = {};
};

struct Topic {
  std::string title;
  /// The term column's heading in the reference.
  std::string termHeader = "line";
  /// Where the text column starts in the plain text.
  std::size_t column = kColumn;
  std::vector<std::string> paragraphs = {};
  std::vector<Item> items = {};
  std::vector<std::string> bullets = {};
};

// --- What the runner says besides its tables ------------------------------------------------

Topic options() {
  return {.title = "Options",
          .termHeader = "option",
          .column = 17,
          .items = {{"--photos DIR",
                     "write every photo delivered to `camera:didCapturePhoto:` to `DIR/photo-N.jpg` (N from 1; "
                     "DIR is created if missing)"},
                    {"--snapshots DIR",
                     "where `snapshot` lines write their images (default: the current directory; DIR is created if "
                     "missing)"},
                    {"--realtime", "`run` only: threaded queues and the real clock; `advance` waits for real"},
                    {"--script FILE",
                     "`live` only: the lines of FILE run in real time once the window shows (see Live window)"},
                    {"--screenshot PATH",
                     "`live` only: after the script's last line, the window's pixels as the display has them are "
                     "written to PATH as a PNG (8-bit RGB; a symbolic link there is refused), then kivocam quits"},
                    {"--camera NAME",
                     "a real camera (a name from `kivocam cameras`, or `test`: the media framework's test source "
                     "showing colour bars) as the world's only camera, the back wide-angle one; implies "
                     "`--realtime`. Lines that simulate a camera (`world camera`, `world no-cameras`, `world "
                     "permission`, `answer`, `fail ...`, `device ...`, `notify runtime-error`, `notify interrupted`, "
                     "`notify interruption-ended`) are wrong lines then. Needs a build with real cameras: configure "
                     "with GStreamer installed"}}};
}

Topic exitStatus() {
  return {.title = "Exit status",
          .termHeader = "status",
          .column = 6,
          .items = {{"0", "every line ran; with `live`, the user quit or the screenshot was written"},
                    {"1",
                     "a line was wrong (unknown command, bad argument, a gesture with nothing to receive it, `answer` "
                     "with no open request, more work than the run allows…): the trace up to it is printed, then "
                     "`FILE:LINE: message` on standard error"},
                    {"2",
                     "a bad command line, a scenario file that cannot be read (with the system's reason) or is larger "
                     "than 16 MiB, or a photo or snapshot directory that cannot be created or written in, or with `live` no "
                     "display (`DISPLAY` unset or unreachable): `kivocam: REASON` on standard error, and nothing runs"},
                    {"3",
                     "the run cannot go on for a reason outside the scenario (out of memory, the trace, a photo or "
                     "a snapshot cannot be written, an internal error): `kivocam: REASON` on standard error"}}};
}

Topic liveWindow() {
  return {.title = "Live window (kivocam live)",
          .termHeader = "input",
          .column = 17,
          .paragraphs = {"`kivocam live` opens an X window showing the host screen with the camera in it, in real time "
                         "(the simulated camera, or a real one with `--camera`), at the screen's size in pixels. "
                         "It runs `create`, `attach` and `appear`, then the script's lines once the window shows, "
                         "and turns the user's input into the lines a scenario would say for it; all of them are "
                         "echoed in the trace as with `run`:"},
          .items = {{"click", "`tap X Y` at the pointer, in points; on a presented alert, its action under the "
                              "pointer: `alert cancel` or `alert settings`"},
                    {"mouse wheel", "a pinch at the pointer: `pinch began 1 X Y`, then `pinch changed F X Y` a "
                                    "notch (F multiplied by 1.1 a notch up, divided down), and `pinch ended F X Y` "
                                    "once the wheel rests 0.25 s"},
                    {"Space", "`call capturePhoto`"},
                    {"T", "`call toggleTorch true`, then `false`, in turn"},
                    {"F", "`call toggleFlash N`, N the flash mode after the controller's (0, 1, 2, 0…)"},
                    {"C", "`call toggleCameraPosition true`"},
                    {"Q, Escape", "quit: `release`, and kivocam ends (exit status 0) once the controller is gone; "
                                  "closing the window does the same"}},
          .bullets = {"The script's lines run after `appear`: `world` settings and `create` are wrong lines there. "
                      "The window stays open after the last line unless `--screenshot` is given.",
                      "Input given while a line runs (a scripted `advance` waits for real) takes effect when it "
                      "ends, in order; the window keeps drawing meanwhile.",
                      "A wrong line from the user's input is reported on standard error (`kivocam: MESSAGE`) and "
                      "the window carries on; a wrong script line ends the run as with `run` (exit status 1)."}};
}

Topic lines() {
  return {.title = "Lines",
          .bullets = {
              "One command a line; words are separated by blanks (spaces or tabs); blank lines are skipped.",
              "A word that begins with `#` starts a comment that runs to the end of the line: `tap 10 20 # focus` "
              "runs `tap 10 20`, and a line whose first non-blank character is `#` is all comment. A `#` inside a "
              "word (`reason=a#b`) is part of the word.",
              "A UTF-8 byte-order mark at the start of the file is ignored.",
              "Each line is echoed as `> LINE` (its words joined by one blank, without its comment), then performed, "
              "then every ready block runs (no time passes); the trace is flushed after each line.",
              "Numbers are decimal: an optional sign, digits with an optional fraction and an optional exponent (`1`, "
              "`-0.5`, `.5`, `2e3`). A number must be finite (`inf`, `nan` and `1e400` are refused; a number too "
              "small to represent, `1e-400`, reads as 0). A 32-bit value (exposure bias, ISO) must lie within the "
              "32-bit range. Whole numbers (counts, codes, raw values) take no fraction. Where a number has a range, "
              "it is given below and a number outside it makes the line wrong.",
              "Booleans are `true` and `false`, switches `on` and `off`; platform constants are written as the "
              "platform spells them (`AVCaptureSessionPreset1920x1080`, `AVLayerVideoGravityResizeAspectFill`); raw "
              "enumeration values as whole numbers.",
              "A line that fits none of its command's forms is refused with the forms expected. What a line needs of "
              "the run is given in brackets (`[needs a controller]`); without it the line is wrong."}};
}

// Behaviours of the component and the simulated world that are easy to trip
// over, each checked by running a scenario.
Topic behaviours() {
  return {.title = "Behaviours to know",
          .bullets = {
              "`notify runtime-error` with a `domain=` other than the capture framework's (`AVFoundationErrorDomain`, "
              "the default) is ignored by the component: no log line, no event.",
              "A capture that never finishes (`fail photo never-finishes`) is ended by the component 10 s after the "
              "end of the processing time the photo output announced, so 10.25 s after the request with the "
              "simulated camera: a log line, the capture event and `camera:didCapturePhoto: nil`. Until then "
              "`captures.inProgress` is 1 and every other `call capturePhoto` does nothing, as it does while any "
              "capture is in progress.",
              "Device callbacks (`camera:device:didChangeISO:`, `camera:device:didChangeAdjustingFocus:`, with "
              "`shouldListeningToExposure` / `shouldListeningToAutoFocus` on) come from the camera the controller "
              "observed when it set up its session, on that camera's queue, and name the controller's current "
              "camera: after `call toggleCameraPosition`, a change of the first camera is reported under the new "
              "camera's name, and the new camera's own changes are not reported.",
              "A snapshot shows the screen back to front: the host's white view, the controller's view and its "
              "subviews at their frames; in the preview the camera's picture with the preview's video gravity "
              "(letterboxed in black for `AVLayerVideoGravityResizeAspect`, cropped for "
              "`AVLayerVideoGravityResizeAspectFill`, stretched for `AVLayerVideoGravityResize`), mirrored for a "
              "front camera, black while the session is not running; the reticle and the shutter overlay at their "
              "animated scale and opacity at that moment; a presented alert as a centred dialog over the dimmed "
              "screen. Hidden views are not drawn; a view's alpha applies to its subviews. The simulated camera "
              "draws its picture for a snapshot without a block, a trace line or any cost to the work budget.",
              "`minZoomScale` at or above `maxZoomScale` makes every zoom do nothing (the component's own "
              "behaviour): `zoomWithScale` and `zoomWithLevel` change nothing, and a pinch leaves the zoom as it is "
              "(its end still reports level 0 and the current scale)."}};
}

// 1000000 as "1,000,000".
std::string withThousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (auto at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

Topic runnerChoices() {
  const RunnerOptions defaults;
  return {.title = "Choices of this runner",
          .bullets = {
              "`set` takes Booleans as `true`/`false`, raw enumeration values as whole numbers and platform constants "
              "by name, as listed under Properties.",
              "`move-view` and `hide view` act on the controller's view even when it is not attached (reading the "
              "view loads it, as on the platform).",
              "`delegate` lines made after `create` give the controller the new delegate at once; `delegate none` "
              "clears it; `delegate release` only drops the host's reference.",
              "`print camera.*` prints `nil` while there is no controller; the views' paths print `nil` while the "
              "view is not loaded or the subview not made; object properties print their class name. `device.*` "
              "reads the controller's current camera (else the newest session's).",
              "After the last line nothing more is printed: the host releases the controller silently and queued "
              "work may run for up to 15 virtual seconds before the world is torn down.",
              "`advance` takes at most " + formatNumber(defaults.maxAdvanceSeconds) +
                  " s (one day) in one line, and the virtual clock (1000 s at the start) cannot pass 1e9 s; a longer "
                  "advance is a wrong line.",
              "A line whose queued work never settles (more than 1,000,000 blocks in one instant) is a wrong line.",
              "A run's budget of simulated work (not with `--realtime`): at most " +
                  withThousands(defaults.maxVideoFrames) + " video frames and " +
                  withThousands(defaults.maxAccelerometerUpdates) +
                  " accelerometer updates in all. An `advance` whose running video streams would take the run past "
                  "the frame budget is refused before any time passes; otherwise an advance stops right after the "
                  "moment the run goes past either budget. Both are wrong lines.",
              "`kivocam cameras` prints one line a camera, `NAME POSITION TYPE`, the "
              "built-in test source last (`test back wide`); without real cameras in the build it says what to "
              "install and ends with exit status 2, as `--camera` does. With `--camera` the trace's order follows "
              "real time.",
              "`snapshot NAME` writes `NAME.png`, 8-bit RGB (RGBA where the screen is not opaque), of the screen's "
              "bounds times its scale in pixels, at most 16384 a side and 33554432 pixels in all (a larger screen "
              "makes the line wrong); an existing file of that name is replaced, and a symbolic link in its place "
              "is refused (exit status 3). The trace line is `snapshot NAME.png WxH`."}};
}

// --- The topics read from the tables ---------------------------------------------------------

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

// The topics that list the words of a long choice, by the noun its errors use.
std::optional<std::string_view> listedUnder(std::string_view noun) {
  if (noun == "property") return "Properties";
  if (noun == "path") return "Paths";
  if (noun == "selector") return "Delegate selectors";
  return std::nullopt;
}

// Whether `text` has `word` standing alone ("back" is not in "back-wide").
bool hasWord(std::string_view text, std::string_view word) {
  const auto isWordCharacter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  };
  for (auto at = text.find(word); at != std::string_view::npos; at = text.find(word, at + 1)) {
    const auto end = at + word.size();
    if ((at == 0 || !isWordCharacter(text[at - 1])) && (end == text.size() || !isWordCharacter(text[end]))) return true;
  }
  return false;
}

// Whether the command's form or its meaning already names every word of a
// choice.
bool listsChoices(const Arg& arg, std::string_view token, std::string_view meaning) {
  if (token.find('|') != std::string_view::npos) return true;
  if (!arg.choices) return false;
  for (const Choice& choice : *arg.choices)
    if (!hasWord(meaning, choice.word)) return false;
  return true;
}

// What a note says of an argument written as `token` in the line's form, or
// nothing when the form or the command's meaning already says it all (literal
// words, listed choices) or any word will do.
std::optional<std::string> argumentNote(const Arg& arg, const std::string& token, std::string_view meaning) {
  const bool listed = listsChoices(arg, token, meaning);
  switch (arg.kind) {
    case Arg::Kind::literal:
    case Arg::Kind::word:
    case Arg::Kind::text: return std::nullopt;
    case Arg::Kind::flag:
    case Arg::Kind::onOff:
      if (listed) return std::nullopt;
      return describe(arg);
    case Arg::Kind::choice:
      if (listed) return std::nullopt;
      if (const auto topic = listedUnder(arg.noun)) return "one of the names under " + std::string(*topic);
      return describe(arg);
    case Arg::Kind::number:
    case Arg::Kind::whole: {
      Arg number = arg;  // the words beside it are in the form
      number.choices = nullptr;
      return describe(number);
    }
  }
  return std::nullopt;
}

// "`X`, `Y`: a number" for each argument worth a note, arguments alike in a
// row merged. The placeholders are the form's own words after the command's
// name: positional ones in order, KEY=VALUE ones by their key.
std::vector<std::string> argumentNotes(const Command& command) {
  auto tokens = splitWords(command.usage);
  tokens.erase(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(splitWords(command.name).size()));
  std::vector<std::string> positional;
  std::vector<std::string> keyed;
  for (auto token : tokens) {
    std::erase(token, '[');
    std::erase(token, ']');
    if (token.ends_with("...")) token.resize(token.size() - 3);
    (token.find('=') == std::string::npos ? positional : keyed).push_back(token);
  }

  std::vector<std::pair<std::string, std::string>> notes;
  std::size_t next = 0;
  for (const Arg& arg : command.args) {
    std::string token;
    if (arg.key.empty()) {
      token = next < positional.size() ? positional[next++] : std::string(arg.name);
    } else {
      token = std::string(arg.key) + "=";
      for (const auto& word : keyed)
        if (word.starts_with(token)) token = word;
    }
    const auto note = argumentNote(arg, token, command.meaning);
    if (!note) continue;
    token = "`" + token.substr(0, token.find('|')) + "`";
    if (!notes.empty() && notes.back().second == *note)
      notes.back().first += ", " + token;
    else
      notes.emplace_back(token, *note);
  }
  std::vector<std::string> lines;
  for (const auto& [names, note] : notes) lines.push_back(names + ": " + note);
  return lines;
}

Topic commandTopic(const Section& section) {
  Topic topic{.title = std::string(section.title)};
  for (const Command& command : section.commands) {
    std::string text(command.meaning);
    if (const auto note = needsNote(command.needs); !note.empty()) text += " " + std::string(note);
    topic.items.push_back({std::string(command.usage), text, argumentNotes(command)});
  }
  return topic;
}

// The choices of a command's first argument, as the runner reads them.
const Choices* firstChoices(std::string_view name) {
  for (const Command* command : allCommands())
    if (command->name == name && !command->args.empty() && command->args.front().kind == Arg::Kind::choice)
      return command->args.front().choices;
  return nullptr;
}

// Each case says what the simulated photo output does for that fault; a
// fault added to the world without one here is a build error (-Wswitch).
std::string_view photoFaultMeaning(sim::PhotoFault fault) {
  switch (fault) {
    case sim::PhotoFault::processingError: return "the photo-processed callback carries an error";
    case sim::PhotoFault::finishError: return "the capture-finished callback carries an error";
    case sim::PhotoFault::bothErrors: return "both callbacks carry an error";
    case sim::PhotoFault::noData: return "the photo gives no file data";
    case sim::PhotoFault::neverFinishes: return "no callback after the will-capture one (see Behaviours to know)";
  }
  return {};
}

Topic cameraOptionTopic() {
  Topic topic{.title = "Camera options (world camera POSITION TYPE [OPTION...])", .termHeader = "option"};
  topic.paragraphs.push_back(
      "A camera is named POSITION-TYPE in the trace (`back-wide`, `front-wide`, `back-dual`). Its options are "
      "applied in order: +NAME and -NAME switch a feature on or off, NAME=VALUE sets a value.");
  for (const CameraOption& option : cameraOptions())
    topic.items.push_back({std::string(option.usage), std::string(option.meaning)});
  return topic;
}

Topic photoFaultTopic() {
  Topic topic{.title = "Photo faults (fail photo MODE)", .termHeader = "mode"};
  if (const Choices* faults = firstChoices("fail photo"))
    for (const Choice& fault : *faults)
      topic.items.push_back(
          {std::string(fault.word), std::string(photoFaultMeaning(static_cast<sim::PhotoFault>(fault.value)))});
  return topic;
}

Topic selectorTopic() {
  Topic topic{.title = "Delegate selectors (delegate SELECTOR...)", .termHeader = "selector"};
  topic.paragraphs.push_back(
      "Each callback the host's delegate receives is printed as `delegate SELECTOR ARGS @QUEUE`; a delegate made "
      "with a list of selectors responds to those only. ARGS:");
  for (const Command* command : allCommands()) {
    if (command->name != "delegate" || command->args.empty() || !command->args.front().repeated) continue;
    for (const Choice& selector : *command->args.front().choices)
      topic.items.push_back({std::string(selector.word),
                             std::string(traceArguments(static_cast<KivoCameraDelegateSelector>(selector.value)))});
  }
  return topic;
}

Topic propertyTopic() {
  Topic topic{.title = "Properties (set NAME VALUE)", .termHeader = "name"};
  for (const Property& property : properties())
    topic.items.push_back({std::string(property.name), describe(property.value)});
  return topic;
}

Topic pathTopic() {
  Topic topic{.title = "Paths (print PATH)", .termHeader = "path"};
  topic.paragraphs.push_back("`print PATH` prints `PATH = VALUE`, read without side effects.");
  for (const Choice& path : inspectionPaths())
    topic.items.push_back({std::string(path.word), std::string(inspectionMeaning(path.word))});
  return topic;
}

std::vector<Topic> document() {
  std::vector<Topic> topics{options(), exitStatus(), liveWindow(), lines()};
  for (const Section& section : commandSections()) topics.push_back(commandTopic(section));
  for (auto topic : {cameraOptionTopic(), photoFaultTopic(), selectorTopic(), propertyTopic(), pathTopic(),
                     behaviours(), runnerChoices()})
    topics.push_back(std::move(topic));
  return topics;
}

// --- Plain text -----------------------------------------------------------------------------

std::string plain(std::string_view text) {
  std::string out(text);
  std::erase(out, '`');
  return out;
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

// `text` wrapped, its first line after `first`, the others after `rest`.
void paragraph(std::string& out, std::string_view text, const std::string& first, const std::string& rest) {
  const auto lines = wrap(plain(text), kProseWidth - first.size());
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i == 0 ? first : rest) + lines[i] + "\n";
}

// "  TERM   text", the text and its notes wrapped in their column; a long term
// on a line of its own.
void entry(std::string& out, const Item& item, std::size_t column) {
  std::string head = "  " + item.term;
  auto lines = wrap(plain(item.text), kWidth - column);
  for (const auto& note : item.notes)
    for (auto& line : wrap(plain(note), kWidth - column)) lines.push_back(std::move(line));
  if (head.size() >= column || lines.empty()) out += std::exchange(head, {}) + "\n";
  for (const auto& line : lines) {
    head.resize(column, ' ');
    out += std::exchange(head, {}) + line + "\n";
  }
}

std::string renderText(const std::vector<Topic>& topics) {
  std::string out = std::string(kTitle) + "\n\nusage:\n";
  for (const auto usage : kUsage) out += "  " + std::string(usage) + "\n";
  for (const Topic& topic : topics) {
    out += "\n" + topic.title + ":\n";
    for (const auto& text : topic.paragraphs) paragraph(out, text, "  ", "  ");
    for (const Item& item : topic.items) entry(out, item, topic.column);
    for (const auto& bullet : topic.bullets) paragraph(out, bullet, "  - ", "    ");
  }
  return out;
}

// --- Markdown -------------------------------------------------------------------------------

// A table cell: its bars escaped (GitHub's tables read `\|` as a bar, inside
// code too).
std::string cell(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '|') out += '\\';
    out += c;
  }
  return out;
}

std::string renderMarkdown(const std::vector<Topic>& topics) {
  std::string out =
      "# The kivocam scenario language\n\n"
      "<!-- Written by kivocam-reference; do not edit. -->\n"
      "This reference is written by `kivocam-reference` from the tables kivocam reads scenario lines with; "
      "`kivocam --help` prints the same as plain text. Do not edit it by hand: change the tables in "
      "`tools/kivocam/`, then run `cmake --build build/dev --target scenario-reference`. The test "
      "`kivocam.reference` fails while this file differs from what the tables say.\n\n" +
      std::string(kTitle) + ".\n\n```\n";
  for (const auto usage : kUsage) out += std::string(usage) + "\n";
  out += "```\n";
  for (const Topic& topic : topics) {
    out += "\n## " + topic.title + "\n\n";
    for (const auto& text : topic.paragraphs) out += text + "\n\n";
    if (!topic.items.empty()) {
      out += "| " + topic.termHeader + " | meaning |\n|---|---|\n";
      for (const Item& item : topic.items) {
        std::string text = item.text;
        for (const auto& note : item.notes) text += "<br>" + note;
        out += "| `" + cell(item.term) + "` | " + cell(text) + " |\n";
      }
      if (!topic.bullets.empty()) out += "\n";
    }
    for (const auto& bullet : topic.bullets) out += "- " + bullet + "\n";
  }
  return out;
}

}  // namespace

std::string_view helpText() {
  static const std::string text = renderText(document());
  return text;
}

std::string referenceMarkdown() { return renderMarkdown(document()); }

}  // namespace kivocam

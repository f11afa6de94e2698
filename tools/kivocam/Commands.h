#pragma once
// The scenario language as one table. Every command a line can begin with
// has one entry: the words that name it, how it is written, what it means,
// its arguments (kind, range, words) and what it needs of the run, and the
// handler that performs it. The runner reads and checks a line against its
// entry before the handler runs, so each check is made once, here;
// `kivocam --help` prints the table, and the randomized test draws its
// vocabulary from it.
//
// The table is plain data; reading a line against it is a pure function
// (any thread); the handlers run on the runner's thread.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/capture/CameraSetup.h"

class KivoCamera;

namespace kivocam {

class Runner;

/// A word an argument accepts, and the raw value it stands for.
struct Choice {
  std::string_view word;
  std::int64_t value = 0;
};
using Choices = std::vector<Choice>;

/// One argument of a command.
struct Arg {
  enum class Kind {
    number,   // decimal, finite (a double)
    whole,    // whole, 64 bits
    flag,     // true or false
    onOff,    // on or off
    choice,   // one of `choices`
    word,     // any word but an empty one (a KEY= with nothing after it)
    text,     // any text, even empty
    literal,  // exactly `name`: it tells apart the forms of one command
  };
  Kind kind = Kind::text;
  /// How messages name the argument ("level" in `zoomWithLevel: level:
  /// expected a number`); empty when the command's name says enough.
  std::string_view name = {};
  /// The accepted range of a number; `aboveMin` excludes `min` itself.
  double min = -std::numeric_limits<double>::infinity();
  double max = std::numeric_limits<double>::infinity();
  bool aboveMin = false;
  /// The words of a choice; for numbers, words accepted in their place
  /// (`fail lock always`).
  const Choices* choices = nullptr;
  /// A choice too long to list is refused as `unknown NOUN "WORD"`.
  std::string_view noun = {};
  /// What is expected, when the generated description would not say it
  /// well ("0 (off), 1 (on) or 2 (auto)").
  std::string_view meaning = {};
  /// Written as KEY=VALUE, in any order after the command's name.
  std::string_view key = {};
  /// Optional positional arguments are all given or all left out.
  bool optional = false;
  /// The last positional argument may take any number of words.
  bool repeated = false;
};

// Arguments as the table declares them.
namespace arg {
inline Arg number(std::string_view name = {}, double min = -std::numeric_limits<double>::infinity(),
                  double max = std::numeric_limits<double>::infinity()) {
  return Arg{.kind = Arg::Kind::number, .name = name, .min = min, .max = max};
}
/// The largest 32-bit number as the trace writes it; it rounds to that number.
inline constexpr double kLargestNumber32 = 3.4028235e38;
/// A number the platform takes as a 32-bit one: within the 32-bit range.
inline Arg number32(std::string_view name = {}) { return number(name, -kLargestNumber32, kLargestNumber32); }
/// A number above 0.
inline Arg positive(std::string_view name) {
  return Arg{.kind = Arg::Kind::number, .name = name, .min = 0, .aboveMin = true};
}
inline Arg whole(std::string_view name, double min, double max, std::string_view meaning = {}) {
  return Arg{.kind = Arg::Kind::whole, .name = name, .min = min, .max = max, .meaning = meaning};
}
inline Arg flag(std::string_view name = {}) { return Arg{.kind = Arg::Kind::flag, .name = name}; }
inline Arg onOff() { return Arg{.kind = Arg::Kind::onOff}; }
inline Arg oneOf(const Choices& choices, std::string_view name = {}, std::string_view noun = {}) {
  return Arg{.kind = Arg::Kind::choice, .name = name, .choices = &choices, .noun = noun};
}
inline Arg word(std::string_view name) { return Arg{.kind = Arg::Kind::word, .name = name}; }
inline Arg text(std::string_view name) { return Arg{.kind = Arg::Kind::text, .name = name}; }
inline Arg literal(std::string_view word) { return Arg{.kind = Arg::Kind::literal, .name = word}; }
/// Words accepted in place of a number.
inline Arg orWords(Arg arg, const Choices& words) {
  arg.choices = &words;
  return arg;
}
inline Arg optional(Arg arg) {
  arg.optional = true;
  return arg;
}
inline Arg repeated(Arg arg) {
  arg.repeated = true;
  return arg;
}
/// Written KEY=VALUE; optional unless `required`.
inline Arg keyed(std::string_view key, Arg value, bool required = false) {
  value.key = key;
  value.optional = !required;
  return value;
}
}  // namespace arg

/// What a line needs of the run before it can be performed.
enum class Needs { nothing, controller, noController, beforeCreate, session, openRequest, alert };

/// The words read for one argument.
struct Value {
  std::string word;
  double number = 0;
  std::int64_t whole = 0;  // also a choice's value
  bool flag = false;
};

/// A line's arguments, read and checked, by the index of their Arg.
class Args {
 public:
  explicit Args(std::size_t count) : values_(count) {}
  bool has(std::size_t i) const { return !values_.at(i).empty(); }
  const std::string& word(std::size_t i) const { return values_.at(i).front().word; }
  double number(std::size_t i) const { return values_.at(i).front().number; }
  std::int64_t whole(std::size_t i) const { return values_.at(i).front().whole; }
  bool flag(std::size_t i) const { return values_.at(i).front().flag; }
  /// Every word of a repeated argument.
  const std::vector<Value>& all(std::size_t i) const { return values_.at(i); }
  void add(std::size_t i, Value value) { values_.at(i).push_back(std::move(value)); }

 private:
  std::vector<std::vector<Value>> values_;
};

struct Command {
  /// The words that select it: "tap", "world screen", "call zoomWithScale".
  /// Several entries may share a name when literal words tell them apart.
  std::string_view name;
  /// The line as it is written: "world screen W H".
  std::string_view usage;
  /// One line for `kivocam --help`.
  std::string_view meaning;
  std::vector<Arg> args;
  Needs needs = Needs::nothing;
  void (*perform)(Runner& runner, const Args& args) = nullptr;
};

struct Section {
  std::string_view title;
  std::vector<Command> commands;
};

/// A first word that begins several commands ("world", "call"): the line
/// without its second word, and what that word names.
struct Group {
  std::string_view word;
  std::string_view usage;
  std::string_view noun;
};

/// The language, section by section, in the order `--help` shows it.
const std::vector<Section>& commandSections();
const std::vector<Group>& commandGroups();
/// Every entry, in table order.
const std::vector<const Command*>& allCommands();

/// A line's entry and its arguments, read and checked.
struct Match {
  const Command* command = nullptr;
  Args args{0};
};

/// Finds the entry for a line's words (not empty) and reads its arguments.
/// Throws ScenarioError for an unknown command, a line that fits none of
/// the command's forms (`expected "FORM"`) or a wrong argument.
Match matchLine(const std::vector<std::string>& words);

/// Reads one argument word; `what` names it in the error.
Value readArg(const Arg& arg, std::string_view word, const std::string& what);
/// What an argument accepts, as error messages and `--help` say it.
std::string describe(const Arg& arg);
/// Why a line with those needs cannot run now, as printed after its name.
std::string_view needsMessage(Needs needs);
/// Whether the command simulates a camera (its cameras, permission, faults,
/// device changes, session notifications): a wrong line with a real camera.
bool simulatesCamera(const Command& command);

/// The camera options of `world camera`: +NAME/-NAME switches and
/// NAME=VALUE settings, each changing the camera's description.
struct CameraOption {
  std::string_view name;
  std::string_view usage;
  std::string_view meaning;
  /// Applies the option; `value` is the text after `=`, or a switch's sign
  /// ("+" or "-"). Throws ScenarioError naming `what`.
  void (*apply)(AVCaptureDeviceDescription& camera, std::string_view value, const std::string& what) = nullptr;
};
const std::vector<CameraOption>& cameraOptions();
/// The camera a `world camera` line describes: the defaults of its place,
/// changed by its options in order.
sim::CameraSetup cameraFromWords(AVCaptureDevicePosition position, sim::CameraType type,
                                 const std::vector<Value>& options, const std::string& what);

/// The controller's properties that `set` knows, with how their values are
/// written.
struct Property {
  std::string_view name;
  Arg value;
  void (*set)(KivoCamera& camera, const Value& value) = nullptr;
};
const std::vector<Property>& properties();
const Choices& propertyNames();

/// The paths `print` knows.
const Choices& inspectionPaths();

/// Every word a scenario can use, as it is written: command names, literal
/// and choice words, KEY=, camera options (+NAME, -NAME, NAME=), property
/// names and values, paths. The fuzzer's dictionary must hold them all.
std::vector<std::string> vocabulary();

/// What `print PATH` shows at a path of `inspectionPaths()`, when its name
/// does not say it (empty then), as `--help` gives it.
std::string_view inspectionMeaning(std::string_view path);

/// The reference of the scenario language in Markdown: what `--help` says,
/// laid out as docs/scenario-language.md.
std::string referenceMarkdown();

}  // namespace kivocam

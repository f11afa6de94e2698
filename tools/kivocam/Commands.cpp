// Reading a line against the command table: which entry it is, which form of
// it fits, and its arguments read and checked as the entry declares them.

#include "Commands.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "Foundation/TraceFormat.h"
#include "Scenario.h"

namespace kivocam {

namespace {

// A form of the table in double quotes, as messages show it (never cut: it is
// no scenario word). Built piece by piece: g++ 12 at -O3 misreports a string
// literal prepended to a string (-Wrestrict).
std::string form(std::string_view usage) {
  std::string text(1, '"');
  text.append(usage);
  text.push_back('"');
  return text;
}

/// "A", "A or B", "A, B or C".
std::string alternatives(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " or " : ", ";
    text += items[i];
  }
  return text;
}

const Choice* findChoice(const Choices* choices, std::string_view word) {
  if (!choices) return nullptr;
  const auto found = std::find_if(choices->begin(), choices->end(), [&](const Choice& c) { return c.word == word; });
  return found == choices->end() ? nullptr : &*found;
}

bool inRange(const Arg& arg, double value) {
  return (arg.aboveMin ? value > arg.min : value >= arg.min) && value <= arg.max;
}

// A bound as text: whole numbers' bounds as integers (the highest 64-bit one
// has no double of its own).
std::string bound(const Arg& arg, double value) {
  if (arg.kind != Arg::Kind::whole) return formatNumber(value);
  if (value >= 0x1p63) return std::to_string(std::numeric_limits<std::int64_t>::max());
  return std::to_string(static_cast<std::int64_t>(value));
}

// The argument's range narrowed to what its kind can hold (a double, a
// 64-bit whole number): the range to name for a number too large to read.
Arg heldRange(Arg arg) {
  const bool whole = arg.kind == Arg::Kind::whole;
  const double low = whole ? -0x1p63 : std::numeric_limits<double>::lowest();
  const double high = whole ? 0x1p63 : std::numeric_limits<double>::max();
  arg.min = std::max(arg.min, low);
  arg.max = std::min(arg.max, high);
  return arg;
}

// The entries by name (several forms may share one).
const std::map<std::string, std::vector<const Command*>, std::less<>>& commandsByName() {
  static const auto index = [] {
    std::map<std::string, std::vector<const Command*>, std::less<>> byName;
    for (const Command* command : allCommands()) byName[std::string(command->name)].push_back(command);
    return byName;
  }();
  return index;
}

const Group* findGroup(std::string_view word) {
  for (const Group& group : commandGroups())
    if (group.word == word) return &group;
  return nullptr;
}

// Which words go to which argument, when the words fit the command's form:
// KEY=VALUE words to their keyed arguments, the others in order to the
// positional ones.
std::optional<std::vector<std::vector<std::size_t>>> fit(const Command& command,
                                                          const std::vector<std::string>& words, std::size_t from) {
  const auto& args = command.args;
  std::vector<std::vector<std::size_t>> at(args.size());
  std::vector<std::size_t> positional;
  for (std::size_t w = from; w < words.size(); ++w) {
    const auto keyed = std::find_if(args.begin(), args.end(), [&](const Arg& a) {
      return !a.key.empty() && words[w].size() > a.key.size() && words[w].starts_with(a.key) &&
             words[w][a.key.size()] == '=';
    });
    if (keyed == args.end()) {
      positional.push_back(w);
      continue;
    }
    auto& slot = at[static_cast<std::size_t>(keyed - args.begin())];
    if (!slot.empty()) return std::nullopt;  // the same key twice
    slot.push_back(w);
  }

  std::size_t required = 0;
  std::size_t optional = 0;
  bool repeated = false;
  for (const Arg& arg : args) {
    if (!arg.key.empty()) continue;
    repeated = repeated || arg.repeated;
    if (!arg.optional)
      ++required;
    else if (!arg.repeated)
      ++optional;
  }
  if (positional.size() < required) return std::nullopt;
  std::size_t extra = positional.size() - required;
  const bool withOptional = optional > 0 && extra >= optional;
  if (withOptional) extra -= optional;
  if (extra > 0 && !repeated) return std::nullopt;

  std::size_t next = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const Arg& arg = args[i];
    if (!arg.key.empty()) {
      if (at[i].empty() && !arg.optional) return std::nullopt;
      continue;
    }
    if (arg.optional && !arg.repeated && !withOptional) continue;
    const std::size_t count = arg.repeated ? (arg.optional ? 0 : 1) + extra : 1;
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t w = positional[next++];
      if (arg.kind == Arg::Kind::literal && words[w] != arg.name) return std::nullopt;
      at[i].push_back(w);
    }
  }
  return at;
}

// How argument errors name the command: its name without `call `, with its
// literal words ("zoomWithLevel", "device iso").
std::string label(const Command& command) {
  std::string text(command.name);
  if (text.starts_with("call ")) text.erase(0, 5);
  for (const Arg& arg : command.args)
    if (arg.kind == Arg::Kind::literal) text += " " + std::string(arg.name);
  return text;
}

}  // namespace

const std::vector<const Command*>& allCommands() {
  static const auto commands = [] {
    std::vector<const Command*> all;
    for (const Section& section : commandSections())
      for (const Command& command : section.commands) all.push_back(&command);
    return all;
  }();
  return commands;
}

std::string_view needsMessage(Needs needs) {
  switch (needs) {
    case Needs::nothing: return {};
    case Needs::controller: return "there is no controller (create one first)";
    case Needs::noController: return "the host already holds a controller";
    case Needs::beforeCreate: return "can only be set before the controller is created";
    case Needs::session: return "there is no capture session";
    case Needs::openRequest: return "there is no open permission request";
    case Needs::alert: return "no alert is presented";
  }
  return {};
}

std::string describe(const Arg& arg) {
  if (!arg.meaning.empty()) return std::string(arg.meaning);
  std::vector<std::string> items;
  switch (arg.kind) {
    case Arg::Kind::number:
    case Arg::Kind::whole: {
      std::string text = arg.kind == Arg::Kind::number ? "a number" : "a whole number";
      const bool low = std::isfinite(arg.min);
      const bool high = std::isfinite(arg.max);
      if (low && high)
        text += " from " + bound(arg, arg.min) + " to " + bound(arg, arg.max);
      else if (low)
        text += (arg.aboveMin ? " > " : " >= ") + bound(arg, arg.min);
      else if (high)
        text += " <= " + bound(arg, arg.max);
      items.push_back(text);
      break;
    }
    case Arg::Kind::flag: return "true or false";
    case Arg::Kind::onOff: return "on or off";
    case Arg::Kind::literal: return std::string(arg.name);
    case Arg::Kind::word: return "a word";
    case Arg::Kind::text: return "any text";
    case Arg::Kind::choice: break;
  }
  if (arg.choices)
    for (const Choice& choice : *arg.choices) items.emplace_back(choice.word);
  return alternatives(items);
}

Value readArg(const Arg& arg, std::string_view word, const std::string& what) {
  Value value{std::string(word)};
  if (const Choice* choice = findChoice(arg.choices, word)) {
    value.whole = choice->value;
    return value;
  }
  NumberFit fit = NumberFit::notANumber;
  switch (arg.kind) {
    case Arg::Kind::number:
      fit = readDecimal(word, value.number);
      break;
    case Arg::Kind::whole:
      fit = readWhole(word, value.whole);
      value.number = static_cast<double>(value.whole);
      break;
    case Arg::Kind::flag:
    case Arg::Kind::onOff: {
      const bool flag = arg.kind == Arg::Kind::flag;
      value.flag = word == (flag ? "true" : "on");
      if (!value.flag && word != (flag ? "false" : "off")) refuseWord(what, describe(arg), word);
      return value;
    }
    case Arg::Kind::choice:
      if (!arg.noun.empty()) throw ScenarioError(what + ": unknown " + std::string(arg.noun) + " " + quote(word));
      refuseWord(what, describe(arg), word);
    case Arg::Kind::word:
      if (word.empty()) refuseWord(what, describe(arg), word);
      return value;
    case Arg::Kind::text:
    case Arg::Kind::literal:
      return value;
  }
  if (fit == NumberFit::notANumber) refuseWord(what, describe(arg), word);
  if (fit == NumberFit::outOfRange) refuseOutOfRange(what, describe(heldRange(arg)), word);
  if (!inRange(arg, value.number)) refuseOutOfRange(what, describe(arg), word);
  return value;
}

std::vector<std::string> vocabulary() {
  std::vector<std::string> words;
  const auto add = [&](const Choices* choices) {
    if (choices)
      for (const Choice& choice : *choices) words.emplace_back(choice.word);
  };
  for (const Command* command : allCommands()) {
    for (const auto& word : splitWords(command->name)) words.push_back(word);
    for (const Arg& arg : command->args) {
      if (arg.kind == Arg::Kind::literal) words.emplace_back(arg.name);
      if (!arg.key.empty()) words.push_back(std::string(arg.key) + "=");
      add(arg.choices);
    }
  }
  for (const CameraOption& option : cameraOptions()) {
    const std::string name(option.name);
    if (option.usage.starts_with('+'))
      words.insert(words.end(), {"+" + name, "-" + name});
    else
      words.push_back(name + "=");
  }
  for (const Property& property : properties()) {
    words.emplace_back(property.name);
    add(property.value.choices);
  }
  add(&inspectionPaths());
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

Match matchLine(const std::vector<std::string>& words) {
  const auto& byName = commandsByName();
  std::string name = words.front();
  std::size_t nameWords = 1;
  if (const Group* group = findGroup(name)) {
    if (words.size() < 2) throw ScenarioError("expected " + form(group->usage));
    name += " " + words[1];
    nameWords = 2;
    if (!byName.contains(name)) throw ScenarioError("unknown " + std::string(group->noun) + " " + quote(words[1]));
  }
  const auto found = byName.find(name);
  if (found == byName.end()) throw ScenarioError("unknown command " + quote(name));

  // Forms whose literal words the line has are the ones it means
  // (`delegate release x` is a wrong `delegate release`); without any, every
  // form is tried.
  std::vector<const Command*> forms;
  for (const Command* command : found->second) {
    const bool hasLiterals = std::any_of(command->args.begin(), command->args.end(),
                                         [](const Arg& a) { return a.kind == Arg::Kind::literal; });
    const bool literalsGiven = std::all_of(command->args.begin(), command->args.end(), [&](const Arg& a) {
      return a.kind != Arg::Kind::literal || std::find(words.begin() + nameWords, words.end(), a.name) != words.end();
    });
    if (hasLiterals && literalsGiven) forms.push_back(command);
  }
  if (forms.empty()) forms = found->second;

  for (const Command* command : forms) {
    const auto at = fit(*command, words, nameWords);
    if (!at) continue;
    Match match{command, Args(command->args.size())};
    const std::string base = label(*command);
    for (std::size_t i = 0; i < command->args.size(); ++i) {
      const Arg& arg = command->args[i];
      const bool named = !arg.name.empty() && arg.kind != Arg::Kind::literal;
      const std::string what = named ? base + ": " + std::string(arg.name) : base;
      for (const std::size_t w : (*at)[i]) {
        const std::string_view word =
            arg.key.empty() ? std::string_view(words[w]) : std::string_view(words[w]).substr(arg.key.size() + 1);
        match.args.add(i, readArg(arg, word, what));
      }
    }
    return match;
  }
  std::vector<std::string> usages;
  for (const Command* command : forms) usages.push_back(form(command->usage));
  throw ScenarioError("expected " + alternatives(usages));
}

}  // namespace kivocam

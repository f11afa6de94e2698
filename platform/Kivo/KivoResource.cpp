#include "Kivo/KivoResource.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <system_error>
#include <utility>

#include "Foundation/ThreadSafety.h"

namespace fs = std::filesystem;

namespace {

using StringTable = std::map<std::string, std::string, std::less<>>;

constexpr std::string_view kDefaultTable = "Localizable";
constexpr std::string_view kBaseLanguage = "en";

struct ResourceState {
  kivo::Mutex mutex;
  std::vector<fs::path> overrides KIVO_GUARDED_BY(mutex);  // oldest first
  std::optional<std::vector<fs::path>> searchDirectories KIVO_GUARDED_BY(mutex);
  std::optional<std::string> language KIVO_GUARDED_BY(mutex);
  std::optional<std::string> environmentLanguage KIVO_GUARDED_BY(mutex);
  std::map<std::string, std::optional<StringTable>, std::less<>> tables KIVO_GUARDED_BY(mutex);  // "<language>/<table>"
  std::map<std::string, std::shared_ptr<UIImage>, std::less<>> images KIVO_GUARDED_BY(mutex);
};

ResourceState& resources() {
  static ResourceState state;
  return state;
}

/// A name usable as one path component.
bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

/// One `key = "text"` line; none for blank lines, comments and malformed lines.
std::optional<std::pair<std::string, std::string>> parseLine(std::string_view line) {
  std::size_t i = 0;
  auto skipBlanks = [&] {
    while (i < line.size() && isBlank(line[i])) ++i;
  };
  skipBlanks();
  if (i == line.size() || line[i] == '#') return std::nullopt;
  const std::size_t keyStart = i;
  while (i < line.size() && !isBlank(line[i]) && line[i] != '=') ++i;
  std::string key(line.substr(keyStart, i - keyStart));
  skipBlanks();
  if (key.empty() || i == line.size() || line[i] != '=') return std::nullopt;
  ++i;
  skipBlanks();
  if (i == line.size() || line[i] != '"') return std::nullopt;
  ++i;
  std::string text;
  for (; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      ++i;
      skipBlanks();
      if (i != line.size() && line[i] != '#') return std::nullopt;  // trailing junk
      return std::make_pair(std::move(key), std::move(text));
    }
    if (c != '\\') {
      text.push_back(c);
      continue;
    }
    if (++i == line.size()) return std::nullopt;
    switch (line[i]) {
      case 'n': text.push_back('\n'); break;
      case 't': text.push_back('\t'); break;
      case '"': text.push_back('"'); break;
      case '\\': text.push_back('\\'); break;
      default: return std::nullopt;
    }
  }
  return std::nullopt;  // no closing quote
}

std::optional<StringTable> readTable(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  StringTable table;
  std::string line;
  while (std::getline(in, line)) {
    if (auto entry = parseLine(line)) table.insert_or_assign(std::move(entry->first), std::move(entry->second));
  }
  return table;
}

std::optional<std::string> readEnvironmentLanguage() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0') continue;
    return kivoLanguageFromLocaleName(value);  // the first one set decides, even "C"
  }
  return std::nullopt;
}

std::vector<fs::path> computeSearchDirectories(const std::vector<fs::path>& overrides) {
  std::vector<fs::path> candidates(overrides.rbegin(), overrides.rend());
  if (const char* env = std::getenv("KIVOCAMERA_RESOURCES"); env != nullptr && *env != '\0')
    candidates.emplace_back(env);
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    candidates.push_back(executable.parent_path() / "resources");
    candidates.push_back(executable.parent_path().parent_path() / "share" / "kivocamera");
  }
#ifdef KIVO_INSTALL_RESOURCES_DIR
  candidates.emplace_back(KIVO_INSTALL_RESOURCES_DIR);
#endif
#ifdef KIVO_SOURCE_RESOURCES_DIR
  candidates.emplace_back(KIVO_SOURCE_RESOURCES_DIR);
#endif
  std::vector<fs::path> directories;
  for (auto& candidate : candidates) {
    candidate = candidate.lexically_normal();
    if (!fs::is_directory(candidate, error)) continue;
    if (std::find(directories.begin(), directories.end(), candidate) != directories.end()) continue;
    directories.push_back(std::move(candidate));
  }
  return directories;
}

const std::vector<fs::path>& searchDirectoriesLocked(ResourceState& state) KIVO_REQUIRES(state.mutex) {
  if (!state.searchDirectories) state.searchDirectories = computeSearchDirectories(state.overrides);
  return *state.searchDirectories;
}

/// The first existing `relative` file under the search directories.
std::optional<fs::path> findLocked(ResourceState& state, const fs::path& relative) KIVO_REQUIRES(state.mutex) {
  std::error_code error;
  for (const auto& directory : searchDirectoriesLocked(state)) {
    fs::path file = directory / relative;
    if (fs::is_regular_file(file, error)) return file;
  }
  return std::nullopt;
}

const std::optional<StringTable>& tableLocked(ResourceState& state, const std::string& language,
                                              std::string_view table) KIVO_REQUIRES(state.mutex) {
  std::string cacheKey = language;
  cacheKey.push_back('/');
  cacheKey.append(table);
  auto it = state.tables.find(cacheKey);
  if (it == state.tables.end()) {
    std::optional<StringTable> loaded;
    std::string fileName(table);
    fileName.append(".strings");
    if (auto file = findLocked(state, fs::path(language + ".lproj") / fileName)) loaded = readTable(*file);
    it = state.tables.emplace(std::move(cacheKey), std::move(loaded)).first;
  }
  return it->second;
}

/// "pt-BR": pt-BR, pt, en.
std::vector<std::string> languageCandidates(const std::string& language) {
  std::vector<std::string> candidates;
  auto add = [&](std::string tag) {
    if (!tag.empty() && std::find(candidates.begin(), candidates.end(), tag) == candidates.end())
      candidates.push_back(std::move(tag));
  };
  add(language);
  add(language.substr(0, language.find('-')));
  add(std::string(kBaseLanguage));
  return candidates;
}

std::string preferredLanguageLocked(ResourceState& state) KIVO_REQUIRES(state.mutex) {
  if (state.language) return *state.language;
  if (!state.environmentLanguage) state.environmentLanguage = readEnvironmentLanguage().value_or(std::string(kBaseLanguage));
  return *state.environmentLanguage;
}

void clearCachesLocked(ResourceState& state) KIVO_REQUIRES(state.mutex) {
  state.searchDirectories.reset();
  state.environmentLanguage.reset();
  state.tables.clear();
  state.images.clear();
}

}  // namespace

std::string localizedOrMain(std::string_view key, std::string_view /*forClass*/,
                            std::optional<std::string_view> tableName) {
  const std::string_view table = tableName.value_or(kDefaultTable);
  if (!isPlainName(table)) return std::string(key);
  auto& state = resources();
  kivo::MutexLock lock(state.mutex);
  for (const auto& language : languageCandidates(preferredLanguageLocked(state))) {
    if (!isPlainName(language)) continue;
    const auto& strings = tableLocked(state, language, table);
    if (!strings) continue;
    if (auto found = strings->find(key); found != strings->end()) return found->second;
  }
  return std::string(key);
}

std::shared_ptr<UIImage> imageNamedOrMain(std::string_view name, std::string_view /*forClass*/) {
  if (!isPlainName(name)) return nullptr;
  auto& state = resources();
  kivo::MutexLock lock(state.mutex);
  if (auto it = state.images.find(name); it != state.images.end()) return it->second;
  std::string fileName(name);
  if (!fileName.ends_with(".png")) fileName.append(".png");
  std::shared_ptr<UIImage> image;
  if (auto file = findLocked(state, fileName)) image = UIImage::imageWithContentsOfFile(file->string());
  state.images.emplace(std::string(name), image);
  return image;
}

std::string preferredKivoLanguage() {
  auto& state = resources();
  kivo::MutexLock lock(state.mutex);
  return preferredLanguageLocked(state);
}

void setPreferredKivoLanguage(std::optional<std::string> language) {
  auto& state = resources();
  kivo::MutexLock lock(state.mutex);
  state.language = std::move(language);
}

std::optional<std::string> kivoLanguageFromLocaleName(std::string_view localeName) {
  localeName = localeName.substr(0, localeName.find_first_of(".@"));
  if (localeName.empty() || localeName == "C" || localeName == "POSIX") return std::nullopt;
  std::string tag(localeName);
  std::replace(tag.begin(), tag.end(), '_', '-');
  return tag;
}

std::vector<fs::path> kivoResourceSearchDirectories() {
  auto& state = resources();
  kivo::MutexLock lock(state.mutex);
  return searchDirectoriesLocked(state);
}

void clearKivoResourceCaches() {
  auto& state = resources();
  kivo::MutexLock lock(state.mutex);
  clearCachesLocked(state);
}

ScopedKivoResourceDirectory::ScopedKivoResourceDirectory(fs::path directory) : directory_(std::move(directory)) {
  auto& state = resources();
  kivo::MutexLock lock(state.mutex);
  state.overrides.push_back(directory_);
  clearCachesLocked(state);
}

ScopedKivoResourceDirectory::~ScopedKivoResourceDirectory() {
  auto& state = resources();
  kivo::MutexLock lock(state.mutex);
  auto it = std::find(state.overrides.rbegin(), state.overrides.rend(), directory_);
  if (it != state.overrides.rend()) state.overrides.erase(std::next(it).base());
  clearCachesLocked(state);
}

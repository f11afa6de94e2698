#pragma once
// The maker's text and image lookup. Texts and images live in a resource
// directory:
//
//   <dir>/<name>.png                       images
//   <dir>/<language>.lproj/<table>.strings texts, one `key = "text"` a line
//
// (format: resources/README.md). Each file is looked for in these directories,
// in order, and taken from the first that has it:
//   1. the directories of live ScopedKivoResourceDirectory installers, newest first;
//   2. $KIVOCAMERA_RESOURCES;
//   3. `resources/` beside the executable;
//   4. `../share/kivocamera/` relative to the executable's directory;
//   5. `<install prefix>/share/kivocamera/`;
//   6. the source tree's `resources/` (so programs run from a build tree find it).
//
// All classes of the component share these resources, so the owner tag that
// callers pass names the caller and does not change where the lookup goes.
// Loaded texts and images (and misses) are cached until clearKivoResourceCaches().
// Thread-safe

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UIKit/UIImage.h"

/// The text for `key` in the preferred language: from the table of that
/// language (for "pt-BR": "pt-BR", then "pt"), then from English, else `key`
/// itself. `tableName` none means the table "Localizable".
std::string localizedOrMain(std::string_view key, std::string_view forClass,
                            std::optional<std::string_view> tableName = std::nullopt);

/// The image `<name>.png`, or null when no directory has a readable one.
std::shared_ptr<UIImage> imageNamedOrMain(std::string_view name, std::string_view forClass);

/// The language of texts: a tag such as "en", "de" or "pt-BR". Unless set, it
/// comes from the environment (LC_ALL, LC_MESSAGES, LANG, the first one set),
/// and is "en" when that names none.
std::string preferredKivoLanguage();
/// Sets the language; none goes back to the environment's.
void setPreferredKivoLanguage(std::optional<std::string> language);

/// The language tag of a POSIX locale name: "de_DE.UTF-8" gives "de-DE",
/// "fr" gives "fr"; "", "C" and "POSIX" give none.
std::optional<std::string> kivoLanguageFromLocaleName(std::string_view localeName);

/// The directories searched now, in order (existing ones only).
std::vector<std::filesystem::path> kivoResourceSearchDirectories();

/// Forgets cached texts and images and the search directories.
void clearKivoResourceCaches();

/// Searches `directory` before every other for its lifetime; clears the caches
/// when made and when destroyed. Installers end in reverse order.
class [[nodiscard]] ScopedKivoResourceDirectory {
 public:
  explicit ScopedKivoResourceDirectory(std::filesystem::path directory);
  ~ScopedKivoResourceDirectory();
  ScopedKivoResourceDirectory(const ScopedKivoResourceDirectory&) = delete;
  ScopedKivoResourceDirectory& operator=(const ScopedKivoResourceDirectory&) = delete;

 private:
  std::filesystem::path directory_;
};

// The maker's services: the host tracker, text lookup by language (and the
// text file format's bad lines), and the image lookup with the shipped reticle.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Kivo/KivoCore.h"
#include "Kivo/KivoResource.h"
#include "KivoCameraLocalizableKey.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;

namespace {

// --- Tracker -----------------------------------------------------------------

class RecordingTracker : public KivoCore {
 public:
  void Tracking_Event(const std::string& name, const TrackingParameters&) override { events.push_back(name); }
  std::vector<std::string> events;
};

TEST(KivoTrackerTest, EventsReachTheInnermostInstalledHostAndAreDroppedWithoutOne) {
  auto outer = std::make_shared<RecordingTracker>(), inner = std::make_shared<RecordingTracker>();
  const auto dropping = Kivo();
  {
    ScopedKivoHost installOuter(outer);
    {
      ScopedKivoHost installInner(inner);
      Kivo()->Tracking_Event("inner", {});
    }
    Kivo()->Tracking_Event("outer", {});
  }
  EXPECT_EQ(Kivo(), dropping);
  Kivo()->Tracking_Event("nowhere", {});  // harmlessly dropped
  EXPECT_THAT(inner->events, ElementsAre("inner"));
  EXPECT_THAT(outer->events, ElementsAre("outer"));
}

// --- Texts ---------------------------------------------------------------------

/// A resource directory of the test's own, searched before every other.
class KivoResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("kivo-resources-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
    scoped_.emplace(directory_);
  }
  void TearDown() override {
    setPreferredKivoLanguage(std::nullopt);
    scoped_.reset();
    fs::remove_all(directory_);
  }
  void write(const fs::path& relative, const std::string& content) {
    fs::create_directories((directory_ / relative).parent_path());
    std::ofstream(directory_ / relative, std::ios::binary) << content;
    clearKivoResourceCaches();
  }
  fs::path directory_;
  std::optional<ScopedKivoResourceDirectory> scoped_;
};

TEST_F(KivoResourceTest, TextsComeFromTheClosestLanguageThenEnglishThenTheKey) {
  write("en.lproj/Localizable.strings", "greeting = \"hello\"\nonly_en = \"english\"\n");
  write("de.lproj/Localizable.strings", "greeting = \"hallo\"\n");
  write("pt-BR.lproj/Localizable.strings", "greeting = \"oi\"\n");
  write("pt.lproj/Localizable.strings", "greeting = \"olá\"\nonly_pt = \"português\"\n");
  for (const auto& [language, expected] : std::vector<std::pair<const char*, const char*>>{
           {"en", "hello"}, {"de", "hallo"}, {"de-AT", "hallo"}, {"pt-BR", "oi"}, {"pt-PT", "olá"}, {"ja", "hello"}}) {
    setPreferredKivoLanguage(language);
    EXPECT_EQ(localizedOrMain("greeting", "Test"), expected) << language;
    EXPECT_EQ(localizedOrMain("only_en", "Test"), "english") << language;
    EXPECT_EQ(localizedOrMain("missing_key", "Test"), "missing_key") << language;
  }
}

TEST_F(KivoResourceTest, TheTextFormatHandlesEscapesCommentsAndBadLines) {
  write("en.lproj/Localizable.strings",
        "# comment\n"
        "\n"
        "  quoted = \"say \\\"hi\\\"\\n\\\\ok\\t\"  # trailing comment\r\n"
        "no_quotes = plain\n"
        "unterminated = \"oops\n"
        "bad_escape = \"\\q\"\n"
        "junk_after = \"x\" y\n"
        "twice = \"first\"\n"
        "twice = \"second\"\n");
  setPreferredKivoLanguage("en");
  EXPECT_EQ(localizedOrMain("quoted", "Test"), "say \"hi\"\n\\ok\t");
  EXPECT_EQ(localizedOrMain("twice", "Test"), "second");
  for (const char* key : {"no_quotes", "unterminated", "bad_escape", "junk_after"})
    EXPECT_EQ(localizedOrMain(key, "Test"), key);
}

// Each shipped language has every alert text, in its own wording.
TEST(ShippedTextsTest, EveryAlertKeyHasItsOwnTextInEveryShippedLanguage) {
  std::set<std::string> settings;
  for (const char* language : {"en", "de", "fr"}) {
    setPreferredKivoLanguage(language);
    for (const char* key : {TEXT_AUTH_ERROR, "text_auth_error_detail", TEXT_OK, TEXT_SETTING}) {
      const std::string text = localizedOrMain(key, "KivoCameraAuthorization");
      EXPECT_TRUE(text != key && !text.empty()) << language << " " << key;
    }
    settings.insert(localizedOrMain(TEXT_SETTING, "KivoCameraAuthorization"));
  }
  setPreferredKivoLanguage(std::nullopt);
  EXPECT_EQ(settings.size(), 3u);
}

TEST(KivoLanguageFromLocaleTest, PosixLocaleNamesBecomeLanguageTags) {
  EXPECT_EQ(kivoLanguageFromLocaleName("de_DE.UTF-8"), "de-DE");
  EXPECT_EQ(kivoLanguageFromLocaleName("fr"), "fr");
  EXPECT_EQ(kivoLanguageFromLocaleName("en_US@euro"), "en-US");
  for (const char* none : {"", "C", "POSIX", "C.UTF-8"}) EXPECT_EQ(kivoLanguageFromLocaleName(none), std::nullopt) << none;
}

// --- Images ----------------------------------------------------------------------

TEST(KivoImageTest, TheShippedReticleIsAYellowFrameOnTransparencyLookedUpOnce) {
  auto image = imageNamedOrMain("KivoCameraFocusDefault", "KivoFocusView");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->size(), (CGSize{80, 80}));
  ASSERT_EQ(image->rgbaPixels().size(), 80u * 80u * 4u);
  const auto pixel = [&](std::uint32_t x, std::uint32_t y) { return &image->rgbaPixels()[(y * 80 + x) * 4]; };
  const auto* frame = pixel(3, 40);  // R, G, B, A: yellow is strong red and green, no blue
  EXPECT_TRUE(frame[0] > 200 && frame[1] > 150 && frame[2] < 60 && frame[3] == 255);
  EXPECT_EQ(pixel(40, 40)[3], 0);
  EXPECT_EQ(imageNamedOrMain("KivoCameraFocusDefault", "KivoFocusView"), image);
}

TEST_F(KivoResourceTest, MissingOrUnreadableImagesAreNone) {
  write("Broken.png", "not a png at all");
  EXPECT_EQ(imageNamedOrMain("Broken", "Test"), nullptr);
  EXPECT_EQ(imageNamedOrMain("NoSuchImage", "Test"), nullptr);
  EXPECT_EQ(imageNamedOrMain("", "Test"), nullptr);
  EXPECT_EQ(imageNamedOrMain("../resources/KivoCameraFocusDefault", "Test"), nullptr);
}

}  // namespace

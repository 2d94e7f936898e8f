#include "station/language.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

#include "platform/code_page.h"
#include "platform/registry_store.h"
#include "station/lang_ini_writer.h"
#include "station/language_load.h"
#include "station/settings_files.h"
#include "station/station_lang_texts.h"
#include "tests/station/station_test_support.h"

namespace corvid {
namespace {

class LanguageTest : public test::StationFolderTest {
  protected:
    std::shared_ptr<const MessageTable> read(const LanguageSection& section,
                                             const MessageTable& current = MessageTable()) {
        return readLanguageTexts(folder().langIni(), section, current).table;
    }
};

TEST(LanguageChoiceTest, IdentifierDecidesSectionAndIndex) {
    struct Case {
        LanguageChoice choice;
        int systemLangId;
        std::string_view section;
        int iLanguage;
    };
    const Case cases[] = {
        {LanguageChoice::English, kLangIdSimplifiedChinese, "English", 0},
        {LanguageChoice::SimplifiedChinese, kLangIdEnglishUs, "Chinese (PRC)", 2},
        {LanguageChoice::TraditionalChinese, kLangIdEnglishUs, "Chinese (Taiwan)", 1},
        {LanguageChoice::Auto, 2052, "Chinese (PRC)", 2},
        {LanguageChoice::Auto, 1028, "Chinese (Taiwan)", 1},
        {LanguageChoice::Auto, 3076, "English", 0},  // Hong Kong is not Taiwan
        {LanguageChoice::Auto, 1033, "English", 0},
    };
    for (const Case& c : cases) {
        const LanguageSection& section = languageSectionFor(c.choice, c.systemLangId);
        EXPECT_EQ(section.name, c.section) << c.systemLangId;
        EXPECT_EQ(section.iLanguage, c.iLanguage) << c.systemLangId;
    }
    EXPECT_EQ(languageChoiceFromId(0), LanguageChoice::Auto);
    EXPECT_EQ(languageChoiceFromId(1), LanguageChoice::English);
    EXPECT_EQ(languageChoiceFromId(2), LanguageChoice::SimplifiedChinese);
    EXPECT_EQ(languageChoiceFromId(3), LanguageChoice::TraditionalChinese);
    EXPECT_EQ(languageChoiceFromId(7), LanguageChoice::Auto);
}

TEST(LanguageChoiceTest, LocaleGivesTheSystemIdentifier) {
    const std::pair<const char*, int> cases[] = {
        {"zh_CN.UTF-8", 2052}, {"zh_CN", 2052}, {"zh_TW.Big5", 1028}, {"zh_HK.UTF-8", 3076},
        {"en_US.UTF-8", 1033}, {"C", 1033},     {"zh_SG", 1033},      {"de_DE@euro", 1033},
    };
    for (const auto& [locale, id] : cases) {
        EXPECT_EQ(langIdFromLocaleName(locale), id) << locale;
    }
#ifndef _WIN32  // Windows asks GetSystemDefaultLangID, not the environment
    // LC_ALL before LC_MESSAGES before LANG.
    setenv("LC_ALL", "", 1);
    setenv("LC_MESSAGES", "zh_TW.UTF-8", 1);
    setenv("LANG", "zh_CN.UTF-8", 1);
    EXPECT_EQ(systemDefaultLangId(), 1028);
    unsetenv("LC_MESSAGES");
    EXPECT_EQ(systemDefaultLangId(), 2052);
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(systemDefaultLangId(), 1033);
    unsetenv("LC_ALL");
    unsetenv("LANG");
#endif
}

TEST_F(LanguageTest, SectionsAreReadInTheirCodePages) {
    writeBytes(folder().langIni(),
               "[English]\r\nTitleStr=Station\r\n\r\n[Chinese (Taiwan)]\r\nTitleStr=" +
                   fromUtf8("量產工具", CodePage::Big5) +
                   "\r\nFailMsg=" + fromUtf8("失敗", CodePage::Big5) +
                   "\r\n\r\n[Chinese (PRC)]\r\nTitleStr=" + fromUtf8("量产工具", CodePage::Gbk) +
                   "\r\n");
    EXPECT_EQ(read(languageSectionOf(0))->text(MessageKey::TitleStr), "Station");
    EXPECT_EQ(read(languageSectionOf(1))->text(MessageKey::TitleStr), "量產工具");
    EXPECT_EQ(read(languageSectionOf(1))->text(MessageKey::FailMsg), "失敗");
    EXPECT_EQ(read(languageSectionOf(2))->text(MessageKey::TitleStr), "量产工具");
}

TEST_F(LanguageTest, MissingKeysKeepTheCurrentTextsAfterASwitch) {
    writeStationLangIni(folder().langIni());
    std::string file = readBytes(folder().langIni());
    // Keep only TitleStr of the Simplified Chinese section.
    const std::size_t prc = file.find("[Chinese (PRC)]");
    const std::size_t title = file.find("TitleStr=", prc);
    file = file.substr(0, prc) + "[Chinese (PRC)]\r\n" +
           file.substr(title, file.find("\r\n", title) + 2 - title);
    writeBytes(folder().langIni(), file);

    const auto traditional = read(languageSectionOf(1));
    const auto simplified = read(languageSectionOf(2), *traditional);
    EXPECT_EQ(simplified->text(MessageKey::TitleStr), "MP3量产工具");
    EXPECT_EQ(simplified->text(MessageKey::FailMsg), "失敗");
    EXPECT_EQ(simplified->text(MessageKey::BlankingSetupMsg), "壞塊掃描設定");
}

TEST_F(LanguageTest, WithoutAFileTheTextsStayAndBlankingSetupIsComposed) {
    const auto table = read(languageSectionOf(2));
    EXPECT_EQ(table->text(MessageKey::WaitDeviceMsg), "Waiting device...");
    EXPECT_EQ(table->text(MessageKey::BlankingSetupMsg), "Blanking CheckSetting");
    EXPECT_EQ(table->text(MessageKey::FlashIdCheckMsg), "Check FLASHID");
}

// A Chinese text not in its code page, and English bytes that are not UTF-8 (which would reach a
// terminal or the window raw): the current text stays and the key is reported.
TEST_F(LanguageTest, TextThatDoesNotConvertKeepsItsTextAndIsReported) {
    struct Case {
        int language;
        std::string section;
        std::string failText;
    };
    const Case cases[] = {
        {2, "[Chinese (PRC)]", fromUtf8("失败", CodePage::Gbk)},
        {0, "[English]", "Fail"},
    };
    for (const Case& c : cases) {
        writeBytes(folder().langIni(),
                   c.section + "\r\nTitleStr=\x81\xFF\r\nFailMsg=" + c.failText + "\r\n");
        const LanguageTexts texts =
            readLanguageTexts(folder().langIni(), languageSectionOf(c.language), MessageTable());
        EXPECT_EQ(texts.table->text(MessageKey::TitleStr), "MP3 Mass Production Tool") << c.section;
        EXPECT_EQ(texts.table->text(MessageKey::FailMsg),
                  toUtf8(c.failText, c.language == 2 ? CodePage::Gbk : CodePage::Utf8));
        ASSERT_EQ(texts.problems.size(), 1u) << c.section;
        EXPECT_NE(texts.problems[0].find("TitleStr"), std::string::npos);
        EXPECT_NE(texts.problems[0].find(c.section), std::string::npos) << texts.problems[0];
    }
}

TEST_F(LanguageTest, StationLangIniLoadsBackToTheSameTexts) {
    writeStationLangIni(folder().langIni());
    for (int language = 0; language < kLanguageCount; ++language) {
        const LanguageTexts texts =
            readLanguageTexts(folder().langIni(), languageSectionOf(language), MessageTable());
        EXPECT_TRUE(texts.problems.empty());
        for (std::size_t i = 0; i < kKeyedMessageCount; ++i) {
            const auto key = static_cast<MessageKey>(i);
            EXPECT_EQ(texts.table->text(key), stationLangText(key, language))
                << messageKeyName(key) << " in language " << language;
        }
    }
    const std::string bytes = readBytes(folder().langIni());
    EXPECT_TRUE(bytes.starts_with("[English]\r\nTitleStr=MP3 Mass Production Tool\r\n"));
    EXPECT_NE(bytes.find("FailMsg=" + fromUtf8("失敗", CodePage::Big5)), std::string::npos);
    EXPECT_NE(bytes.find("FailMsg=" + fromUtf8("失败", CodePage::Gbk)), std::string::npos);
}

TEST_F(LanguageTest, ReadersDuringALoadSeeOneWholeTable) {
    writeStationLangIni(folder().langIni());
    SharedMessages messages;
    StationSettings settings = newStationSettings(folder());
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    const std::set<std::pair<std::string, std::string>> whole = {
        {std::string(stationLangText(MessageKey::TitleStr, 0)),
         std::string(stationLangText(MessageKey::HiddenDiskStr, 0))},
        {std::string(stationLangText(MessageKey::TitleStr, 1)),
         std::string(stationLangText(MessageKey::HiddenDiskStr, 1))},
        {std::string(stationLangText(MessageKey::TitleStr, 2)),
         std::string(stationLangText(MessageKey::HiddenDiskStr, 2))},
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < 2; ++i) {
        workers.emplace_back([&] {
            while (!done) {
                const auto table = messages.current();
                if (!whole.contains({table->text(MessageKey::TitleStr),
                                     table->text(MessageKey::HiddenDiskStr)})) {
                    ++torn;
                }
                ++reads;
            }
        });
    }
    const LanguageChoice choices[] = {LanguageChoice::TraditionalChinese,
                                      LanguageChoice::SimplifiedChinese, LanguageChoice::English};
    for (int round = 0; round < 9; ++round) {
        loadStationLanguage(folder(), choices[round % 3], kLangIdEnglishUs, messages, settings);
    }
    while (reads < 100) {
        std::this_thread::yield();
    }
    done = true;
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(messages.text(MessageKey::TitleStr), "MP3 Mass Production Tool");
}

TEST_F(LanguageTest, StoredChoiceIsRestoredAndWrittenBack) {
    const auto store = openIniRegistryStore(dir_ / "misc" / "registry.ini");
    EXPECT_EQ(restoreLanguageChoice(*store), LanguageChoice::Auto);
    EXPECT_EQ(store->readInt("SoftWare\\ZQL5V16\\corvid16", "LanguageID", -1), 0);
    store->writeInt("SoftWare\\ZQL5V16\\corvid16", "LanguageID", 9);
    EXPECT_EQ(restoreLanguageChoice(*store), LanguageChoice::Auto);
    EXPECT_EQ(store->readInt("SoftWare\\ZQL5V16\\corvid16", "LanguageID", -1), 0);
    store->writeInt("SoftWare\\ZQL5V16\\corvid16", "LanguageID", 3);
    EXPECT_EQ(restoreLanguageChoice(*store), LanguageChoice::TraditionalChinese);
}

}  // namespace
}  // namespace corvid

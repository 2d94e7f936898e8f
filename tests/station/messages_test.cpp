#include "station/messages.h"

#include "platform/ascii_text.h"
#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvid {
namespace {

TEST(Messages, KeysDefaultsAndOrder) {
    struct Case {
        MessageKey key;
        std::size_t index;
        std::string_view name;
        std::string_view defaultText;
    };
    const Case cases[] = {
        {MessageKey::TitleStr, 0, "TitleStr", "MP3 Mass Production Tool"},
        {MessageKey::FailMsg, 12, "FailMsg", "fail"},
        {MessageKey::WaitDeviceMsg, 16, "WaitDeviceMsg", "Waiting device..."},
        {MessageKey::PassWriteStr, 32, "PassWriteStr", "PASS Write Setup"},
        {MessageKey::PassWriteSetupStr, 34, "PassWriteSetupStr", "PASS Write Setup"},
        {MessageKey::MenuUpgradeStr, 41, "MenuUpgradeStr", "Menual Upgrade Mode"},
        {MessageKey::HubPortExeccdStr, 52, "HubPortExeccdStr", "Exceed USB Port limitation"},
        {MessageKey::HiddenDiskStr, 61, "HiddenDiskStr", "Hidden disk"},
        {MessageKey::FlashIdCheckMsg, 62, "FlashIdCheckMsg", "Check FLASHID"},
        {MessageKey::BlankingSetupMsg, 63, "BlankingSetupMsg", "Blanking Check Setup"},
    };
    const MessageTable table;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(static_cast<std::size_t>(c.key), c.index);
        EXPECT_EQ(messageKeyName(c.key), c.name);
        EXPECT_EQ(messageDefault(c.key), c.defaultText);
        EXPECT_EQ(table.text(c.key), c.defaultText);
    }
    EXPECT_EQ(kKeyedMessageCount, 62u);
    EXPECT_EQ(kMessageCount, 64u);
}

TEST(Messages, EveryKeyedNameRoundTripsCaseInsensitively) {
    for (std::size_t i = 0; i < kMessageCount; ++i) {
        const auto key = static_cast<MessageKey>(i);
        const std::string name(messageKeyName(key));
        SCOPED_TRACE(name);
        ASSERT_FALSE(name.empty());
        EXPECT_FALSE(messageDefault(key).empty());
        const std::string upper = asciiUpper(name);
        if (i < kKeyedMessageCount) {
            EXPECT_EQ(messageKeyFromName(name), key);
            EXPECT_EQ(messageKeyFromName(upper), key);
        } else {
            // Not keys of lang.ini: a file line with this name must not overwrite them.
            EXPECT_EQ(messageKeyFromName(name), std::nullopt);
        }
    }
    EXPECT_EQ(messageKeyFromName("failmsg"), MessageKey::FailMsg);
    EXPECT_EQ(messageKeyFromName(""), std::nullopt);
    EXPECT_EQ(messageKeyFromName("FailMsg "), std::nullopt);
    EXPECT_EQ(messageKeyFromName("NoSuchStr"), std::nullopt);
}

TEST(Messages, SetTextChangesOnlyThatMessage) {
    MessageTable table;
    table.setText(MessageKey::FailMsg, "失敗");
    EXPECT_EQ(table.text(MessageKey::FailMsg), "失敗");
    EXPECT_EQ(table.text(MessageKey::SuccessMsg), "successful");
}

TEST(FixedTexts, RowsWithGivenChinese) {
    struct Case {
        FixedText row;
        int index;
        std::string_view english, traditional, simplified;
    };
    const Case cases[] = {
        {FixedText::BlankCheck, 0, "Blank Check", "", ""},
        {FixedText::DiskSplit, 13, "Disk split", "磁碟分區", "磁碟分区"},
        {FixedText::Normal, 14, "Normal", "一般碟", "一般碟"},
        {FixedText::EncryptedDisk, 15, "Encrypted disk", "加密碟", "加密碟"},
        {FixedText::HiddenDisk, 16, "Hidden disk", "隱藏碟", "隐藏碟"},
        {FixedText::AddDir, 21, "Add Dir", "", ""},
        {FixedText::NonlegalMulitplier, 24, "nonlegal mulitplier", "", ""},
        {FixedText::FirmwareFileNotFound, 25, "Firmware file not found",
         "找不到固件檔(program.bin)", "找不到固件档(program.bin)"},
        {FixedText::Warning, 26, "Warning", "警告", "警告"},
        {FixedText::LengthOfFilepathExceeds128, 41, "Length of Filepath exceeds 128!",
         "檔案路徑長度不可超過128", "档案路径长度不可超过128"},
        {FixedText::ImageFileNotExistsPleaseReassignIt, 63,
         "Image file not exists. Please reassign it.", "", ""},
        {FixedText::Bad, 82, "Bad", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.english);
        EXPECT_EQ(static_cast<int>(c.row), c.index);
        EXPECT_EQ(fixedText(c.row, kLanguageEnglish), c.english);
        EXPECT_EQ(fixedText(c.index, kLanguageEnglish), c.english);
        if (!c.traditional.empty()) {
            EXPECT_EQ(fixedText(c.row, kLanguageTraditionalChinese), c.traditional);
            EXPECT_EQ(fixedText(c.row, kLanguageSimplifiedChinese), c.simplified);
        }
    }
}

TEST(FixedTexts, BlanksAndLineBreaks) {
    for (int language = 0; language < kLanguageCount; ++language) {
        SCOPED_TRACE(language);
        EXPECT_EQ(fixedText(FixedText::Setup, language).front(), ' ');
        EXPECT_EQ(fixedText(FixedText::End, language).front(), ' ');
        EXPECT_EQ(fixedText(FixedText::SpiHiddenFilesWrite, language).back(), ' ');
        EXPECT_EQ(fixedText(FixedText::FastBlankingCheckCannotGuarantee, language).find('\n'),
                  fixedText(FixedText::FastBlankingCheckCannotGuarantee, language).rfind('\n'));
        EXPECT_NE(fixedText(FixedText::FastBlankingCheckCannotGuarantee, language).find('\n'),
                  std::string_view::npos);
    }
    EXPECT_EQ(fixedText(FixedText::Setup, kLanguageEnglish), " Setup");
    EXPECT_EQ(fixedText(FixedText::End, kLanguageEnglish), " End");
    EXPECT_EQ(fixedText(FixedText::SpiHiddenFilesWrite, kLanguageEnglish),
              "SPI hidden files write ");
    EXPECT_EQ(fixedText(FixedText::FastBlankingCheckCannotGuarantee, kLanguageEnglish),
              "Fast Blanking Check cannot guarantee the stablity of data access.\n"
              "Still want to select this tiem?");
    EXPECT_EQ(fixedText(FixedText::BadBlockRateThreshold, kLanguageEnglish),
              "Bad block rate threshold");
    for (int language : {kLanguageTraditionalChinese, kLanguageSimplifiedChinese}) {
        const std::string_view text = fixedText(FixedText::BadBlockRateThreshold, language);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    }
    // Only those two rows break lines, and no text carries a carriage return.
    for (int row = 0; row < kFixedTextRows; ++row) {
        for (int language = 0; language < kLanguageCount; ++language) {
            const std::string_view text = fixedText(row, language);
            EXPECT_FALSE(text.empty()) << row << "/" << language;
            EXPECT_EQ(text.find('\r'), std::string_view::npos) << row;
            if (row != static_cast<int>(FixedText::BadBlockRateThreshold) &&
                row != static_cast<int>(FixedText::FastBlankingCheckCannotGuarantee)) {
                EXPECT_EQ(text.find('\n'), std::string_view::npos) << row << "/" << language;
            }
        }
    }
}

TEST(FixedTexts, OptionTables) {
    ASSERT_EQ(optionRowCount(OptionTable::ScanLevels), 5);
    ASSERT_EQ(optionRowCount(OptionTable::PageModes), 8);
    for (int language = 0; language < kLanguageCount; ++language) {
        EXPECT_EQ(optionName(OptionTable::ScanLevels, 0, language), "Level 1");
        EXPECT_EQ(optionName(OptionTable::ScanLevels, 4, language), "Level 5");
        for (int row = 0; row < 8; ++row) {
            EXPECT_FALSE(optionName(OptionTable::PageModes, row, language).empty());
        }
    }
    const std::string_view pageModes[] = {"Specific mode 1", "Specific mode 2", "Even Pages",
                                          "Odd pages",       "First Half",      "Second Half",
                                          "All Pages",       "Auto Detection"};
    for (int row = 0; row < 8; ++row) {
        EXPECT_EQ(optionName(OptionTable::PageModes, row, kLanguageEnglish), pageModes[row]);
    }
}

TEST(FixedTexts, OutOfRangeGivesEmptyText) {
    const std::pair<int, int> outside[] = {
        {-1, 0}, {kFixedTextRows, 0}, {0, -1}, {0, 3}, {1000000, 1000000}};
    for (const auto& [row, language] : outside) {
        SCOPED_TRACE(std::to_string(row) + "/" + std::to_string(language));
        EXPECT_TRUE(fixedText(row, language).empty());
        EXPECT_TRUE(fixedText(static_cast<FixedText>(row), language).empty());
        EXPECT_TRUE(
            optionName(OptionTable::ScanLevels, row == kFixedTextRows ? 5 : row, language).empty());
        EXPECT_TRUE(
            optionName(OptionTable::PageModes, row == kFixedTextRows ? 8 : row, language).empty());
    }
}

// False when a character of the UTF-8 text has no place in the code page.
bool representableIn(std::string_view utf8, CodePage codePage) {
    try {
        return toUtf8(fromUtf8(utf8, codePage), codePage) == utf8;
    } catch (const CodePageError&) {
        return false;
    }
}

TEST(FixedTexts, ChineseTextsFitTheirCodePages) {
    // Windows shows Traditional texts in code page 950 (Big5) and Simplified in 936 (GBK).
    auto check = [](std::string_view what, int row, std::string_view traditional,
                    std::string_view simplified) {
        EXPECT_TRUE(representableIn(traditional, CodePage::Big5))
            << what << " row " << row << ": " << traditional;
        EXPECT_TRUE(representableIn(simplified, CodePage::Gbk))
            << what << " row " << row << ": " << simplified;
    };
    for (int row = 0; row < kFixedTextRows; ++row) {
        check("fixed", row, fixedText(row, kLanguageTraditionalChinese),
              fixedText(row, kLanguageSimplifiedChinese));
    }
    for (OptionTable table : {OptionTable::ScanLevels, OptionTable::PageModes}) {
        for (int row = 0; row < optionRowCount(table); ++row) {
            check("option", row, optionName(table, row, kLanguageTraditionalChinese),
                  optionName(table, row, kLanguageSimplifiedChinese));
        }
    }
    // The check itself must catch a character outside the code page.
    EXPECT_FALSE(representableIn("磁碟分区", CodePage::Big5));
}

// A table whose every text names its generation, so a torn read shows as a mix of tags.
std::shared_ptr<const MessageTable> generationTable(int generation) {
    auto table = std::make_shared<MessageTable>();
    for (std::size_t i = 0; i < kMessageCount; ++i) {
        table->setText(static_cast<MessageKey>(i), "gen " + std::to_string(generation));
    }
    return table;
}

TEST(SharedMessages, StartsWithDefaultsAndRefusesNull) {
    SharedMessages messages;
    EXPECT_EQ(messages.text(MessageKey::WaitDeviceMsg), "Waiting device...");
    EXPECT_THROW(messages.replace(nullptr), std::invalid_argument);
    EXPECT_EQ(messages.text(MessageKey::WaitDeviceMsg), "Waiting device...");
}

TEST(SharedMessages, ReadersSeeWholeTablesDuringReplacement) {
    SharedMessages messages;
    messages.replace(generationTable(0));
    constexpr int kGenerations = 300;
    constexpr int kReaders = 3;
    std::atomic<int> readersStarted{0};
    std::atomic<bool> done{false};
    std::atomic<int> tornReads{0};
    std::atomic<int> backwards{0};

    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&] {
            int lastGeneration = 0;
            ++readersStarted;
            while (!done.load()) {
                const auto table = messages.current();
                const std::string& first = table->text(MessageKey::TitleStr);
                for (std::size_t i = 1; i < kMessageCount; ++i) {
                    if (table->text(static_cast<MessageKey>(i)) != first) {
                        ++tornReads;
                        break;
                    }
                }
                const int generation = std::stoi(first.substr(4));
                if (generation < lastGeneration) {
                    ++backwards;
                }
                lastGeneration = generation;
            }
        });
    }
    while (readersStarted.load() < kReaders) {
        std::this_thread::yield();
    }
    for (int g = 1; g <= kGenerations; ++g) {
        messages.replace(generationTable(g));
    }
    done = true;
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(tornReads.load(), 0);
    EXPECT_EQ(backwards.load(), 0);
    EXPECT_EQ(messages.text(MessageKey::HiddenDiskStr), "gen " + std::to_string(kGenerations));
}

}  // namespace
}  // namespace corvid

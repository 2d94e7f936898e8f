// The image tool: its first start, the size range, what it keeps between runs, and a build of
// both volumes on its own thread while the controls wait disabled.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <fstream>
#include <memory>

#include "gui/image_tool.h"
#include "image/image_file.h"
#include "platform/ini_file.h"
#include "station/settings_files.h"
#include "tests/support/recording_views.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

class ImageToolTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        std::filesystem::create_directories(dir_ / "misc");
    }

    template <typename W>
    static W* control(QWidget& tool, const char* name) {
        W* found = tool.findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    StationFolder folder() const { return StationFolder(dir_); }
    test::RecordingPrompt prompt_;
};

TEST_F(ImageToolTest, FirstStartOffersPassWd64MbAndSizesFrom32To2048) {
    gui::ImageTool tool(folder(), prompt_);
    EXPECT_EQ(control<QLineEdit>(tool, "edtDiskLabel")->text(), "PASS WD");
    auto* size = control<QSlider>(tool, "tbarHideDiskRatio");
    auto* shown = control<QLineEdit>(tool, "edtDiskSize");
    EXPECT_EQ(size->value(), 8);
    EXPECT_EQ(shown->text(), "64");
    EXPECT_FALSE(control<QProgressBar>(tool, "ProgressBar1")->isVisibleTo(&tool));
    const std::pair<int, const char*> ends[] = {{0, "32"}, {4, "32"}, {256, "2048"}, {999, "2048"}};
    for (const auto& [position, text] : ends) {
        size->setValue(position);
        EXPECT_EQ(shown->text(), text) << position;
    }
}

// Entries naming files that are gone are dropped at start; closing writes the list, the label,
// the size and a fresh HIDE_FILES section.
TEST_F(ImageToolTest, LabelSizeAndListAreKeptBetweenRuns) {
    std::ofstream(dir_ / "kept.txt") << "kept";
    writeListFile(dir_ / "misc" / "isoseting.ini",
                  {(dir_ / "gone1.txt").string(), (dir_ / "gone2.txt").string(),
                   (dir_ / "kept.txt").string()});
    {
        IniFile ini(dir_ / "misc" / "ImgTool.ini");
        ini.writeString("DISK", "Label", "ALBUM");
        ini.writeInt("DISK", "DiskSize", 16);
        ini.writeStrings("HIDE_FILES", {{"files0", "old"}, {"files1", "older"}});
    }
    {
        gui::ImageTool tool(folder(), prompt_);
        EXPECT_EQ(control<QLineEdit>(tool, "edtDiskLabel")->text(), "ALBUM");
        EXPECT_EQ(control<QLineEdit>(tool, "edtDiskSize")->text(), "128");
        auto* list = control<QListWidget>(tool, "TntlstHideFiles");
        ASSERT_EQ(list->count(), 1);
        EXPECT_EQ(list->item(0)->text().toStdString(), (dir_ / "kept.txt").string());
        control<QSlider>(tool, "tbarHideDiskRatio")->setValue(256);
        ASSERT_TRUE(tool.save());
    }
    const IniFile ini(dir_ / "misc" / "ImgTool.ini");
    EXPECT_EQ(ini.readInt("DISK", "DiskSize", 0), 256);
    EXPECT_EQ(ini.readString("HIDE_FILES", "files0", ""), (dir_ / "kept.txt").string());
    EXPECT_EQ(ini.readString("HIDE_FILES", "files1", "none"), "none");
    EXPECT_EQ(readListFile(dir_ / "misc" / "isoseting.ini"),
              FileList{(dir_ / "kept.txt").string()});
}

TEST_F(ImageToolTest, ABuildWritesBothVolumesWithTheControlsDisabledMeanwhile) {
    std::ofstream(dir_ / "song.txt") << "la la la";
    writeListFile(dir_ / "misc" / "isoseting.ini", {(dir_ / "song.txt").string()});
    gui::ImageTool tool(folder(), prompt_);
    QSignalSpy built(&tool, &gui::ImageTool::built);
    QSignalSpy ended(&tool, &gui::ImageTool::buildEnded);
    const QString output = QString::fromStdString((dir_ / "hidden.IMG").string());
    tool.show();
    tool.build(output);
    EXPECT_TRUE(tool.building());
    for (const char* name : {"btnCreateImg", "btnAddDir", "btnAddFile", "btnRemove"}) {
        EXPECT_FALSE(control<QPushButton>(tool, name)->isEnabled()) << name;
    }
    EXPECT_FALSE(control<QSlider>(tool, "tbarHideDiskRatio")->isEnabled());
    EXPECT_FALSE(control<QLineEdit>(tool, "edtDiskLabel")->isEnabled());
    EXPECT_FALSE(tool.close());
    EXPECT_TRUE(tool.isVisible()) << "the tool does not close during a build";
    EXPECT_FALSE(std::filesystem::exists(dir_ / "misc" / "ImgTool.ini"));

    ASSERT_TRUE(QTest::qWaitFor([&] { return ended.count() == 1; }, 120000));
    EXPECT_TRUE(ended.at(0).at(0).toBool());
    ASSERT_EQ(built.count(), 1);
    EXPECT_EQ(built.at(0).at(0).toString(), output);
    EXPECT_EQ(ImgReadSize(dir_ / "hidden.IMG"), std::optional<std::uint32_t>(64));
    const ImageHeader header = readImageHeader(dir_ / "hidden.IMG");
    EXPECT_TRUE(findImageEntry(header, 512).has_value());
    EXPECT_TRUE(findImageEntry(header, 1024).has_value());
    EXPECT_TRUE(control<QPushButton>(tool, "btnCreateImg")->isEnabled());
    EXPECT_FALSE(control<QProgressBar>(tool, "ProgressBar1")->isVisibleTo(&tool));
    ASSERT_EQ(prompt_.shown().size(), 1u);
    EXPECT_EQ(prompt_.shown()[0].text, "Create ImageSuccess");
}

// A damaged list file (a folder in its place, bytes that are no UTF-8) does not stop the tool:
// it starts with an empty list and says so once it opens.
TEST_F(ImageToolTest, ADamagedListStartsEmptyAndIsSaid) {
    struct Case {
        const char* name;
        bool folder;
    };
    const auto list = dir_ / "misc" / "isoseting.ini";
    for (const Case& c : {Case{"a folder", true}, Case{"invalid UTF-8", false}}) {
        SCOPED_TRACE(c.name);
        prompt_.clear();
        std::filesystem::remove_all(list);
        if (c.folder) {
            std::filesystem::create_directory(list);
        } else {
            std::ofstream(list) << "bad \xc3\x28 entry\n";
        }
        std::unique_ptr<gui::ImageTool> tool;
        ASSERT_NO_THROW(tool = std::make_unique<gui::ImageTool>(folder(), prompt_));
        EXPECT_EQ(control<QListWidget>(*tool, "TntlstHideFiles")->count(), 0);
        tool->show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !prompt_.shown().empty(); }, 5000));
        EXPECT_NE(prompt_.shown()[0].text.find("starts empty"), std::string::npos)
            << prompt_.shown()[0].text;
        tool->hide();
    }
}

// Closed by its frame, the tool saves once (a failing save says so once); Create Image is the
// button Enter presses.
TEST_F(ImageToolTest, ClosedByItsFrameItSavesOnce) {
    gui::ImageTool tool(folder(), prompt_);
    EXPECT_TRUE(control<QPushButton>(tool, "btnCreateImg")->isDefault());
    for (const char* name : {"btnAddFile", "btnAddDir", "btnRemove"}) {
        EXPECT_FALSE(control<QPushButton>(tool, name)->autoDefault()) << name;
    }
    tool.show();
    std::filesystem::remove_all(dir_ / "misc");
    std::ofstream(dir_ / "misc") << "a file where the folder belongs";
    EXPECT_TRUE(tool.close());
    EXPECT_EQ(prompt_.shown().size(), 1u) << "one save, one failure said";
}

}  // namespace
}  // namespace corvid

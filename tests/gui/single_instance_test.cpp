// One window per station folder: a later start finds the folder locked, asks the running one to
// the front and ends; other folders are other stations.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "gui/single_instance.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

class SingleInstanceTest : public test::TempDirTest {};

TEST_F(SingleInstanceTest, ALaterStartOfTheSameFolderAsksTheRunningOneToTheFront) {
    std::filesystem::create_directories(dir_ / "a");
    std::filesystem::create_directories(dir_ / "b");
    gui::SingleInstance running(dir_ / "a");
    ASSERT_TRUE(running.lock());
    QString error;
    ASSERT_TRUE(running.listen(error)) << error.toStdString();
    QSignalSpy front(&running, &gui::SingleInstance::frontRequested);

    struct Case {
        std::filesystem::path folder;
        bool answered;
    };
    const Case cases[] = {{dir_ / "a", true},
                          {dir_ / "b" / ".." / "a", true},  // another spelling, same folder
                          {dir_ / "b", false}};
    int asked = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder.string());
        gui::SingleInstance later(c.folder);
        EXPECT_EQ(later.lock(), !c.answered);
        if (c.answered) {
            EXPECT_TRUE(later.askRunningInstance());
        }
        asked += c.answered ? 1 : 0;
        if (c.answered) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return front.count() == asked; }, 5000));
        }
    }
    EXPECT_EQ(front.count(), 2);
}

}  // namespace
}  // namespace corvid

// The lock of a drive letter: one holder at a time, whichever program; free again when its holder
// lets go or ends.

#include "platform/drive_lock.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <fstream>

#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

class DriveLockTest : public test::TempDirTest {};

TEST_F(DriveLockTest, OneHolderPerLetterUntilItLetsGo) {
    DriveLocks station(dir_ / "locks");  // the folder is made on the first lock
    DriveLocks produce(dir_ / "locks");  // a second program, as far as the locks can tell
    EXPECT_TRUE(station.acquire('J'));
    EXPECT_TRUE(station.acquire('J'));  // held already: still its own
    EXPECT_FALSE(produce.acquire('J'));
    EXPECT_TRUE(produce.acquire('K'));  // other letters are free
    station.release('J');
    EXPECT_TRUE(produce.acquire('J'));
    EXPECT_FALSE(station.acquire('J'));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "locks" / "J.lock"));
}

#ifndef _WIN32  // fork
// A holder that ends without letting go (a crash) leaves the letter free.
TEST_F(DriveLockTest, TheLockGoesWithItsProcess) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DriveLocks held(dir_ / "locks");
        const char taken = held.acquire('E') ? 'y' : 'n';
        [[maybe_unused]] auto written = ::write(ready[1], &taken, 1);
        ::pause();  // until killed
        std::_Exit(0);
    }
    char taken = 0;
    ASSERT_EQ(::read(ready[0], &taken, 1), 1);
    EXPECT_EQ(taken, 'y');
    DriveLocks mine(dir_ / "locks");
    EXPECT_FALSE(mine.acquire('E'));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(mine.acquire('E'));
    ::close(ready[0]);
    ::close(ready[1]);
}
#endif

TEST_F(DriveLockTest, AFolderThatCannotHoldLocksIsNamed) {
    std::ofstream(dir_ / "file") << "x";
    DriveLocks locks(dir_ / "file" / "locks");
    try {
        locks.acquire('E');
        FAIL() << "a lock in a folder under a file";
    } catch (const DriveLockError& e) {
        EXPECT_NE(std::string(e.what()).find((dir_ / "file" / "locks" / "E.lock").string()),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
}  // namespace corvid

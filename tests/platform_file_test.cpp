#include "platform/platform_file.h"
#include "platform/platform_thread.h"
#include "tests/test_files.h"

#include <gtest/gtest.h>

#include <atomic>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

class PlatformFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = TestTempPath("platform_file.bin");
        std::vector<unsigned char> bytes(1000);
        for (size_t i = 0; i < bytes.size(); i++) {
            bytes[i] = (unsigned char)(i * 7);
        }
        ASSERT_TRUE(TestWriteFile(path_, bytes));
    }
    void TearDown() override {
        TestRemoveFile(path_);
    }
    std::string path_;
};

TEST_F(PlatformFileTest, ReadsSeeksAndReportsLengthAndPosition) {
    PlatformFile f = PlatformFileOpenRead(path_.c_str());
    ASSERT_NE(f, PLATFORM_FILE_NONE);
    EXPECT_EQ(PlatformFileLength(f), 1000);
    unsigned char buf[300];
    EXPECT_EQ(PlatformFileRead(f, buf, 256), 256);
    EXPECT_EQ(buf[255], (unsigned char)(255 * 7));
    EXPECT_EQ(PlatformFilePosition(f), 256);
    // The length query must not move the position.
    EXPECT_EQ(PlatformFileLength(f), 1000);
    EXPECT_EQ(PlatformFilePosition(f), 256);
    ASSERT_EQ(PlatformFileSeek(f, 900), 1);
    EXPECT_EQ(PlatformFileRead(f, buf, 300), 100); // a short count at the end, not an error
    EXPECT_EQ(buf[0], (unsigned char)(900 * 7));
    EXPECT_EQ(PlatformFileRead(f, buf, 300), 0);
    PlatformFileClose(&f);
    EXPECT_EQ(f, PLATFORM_FILE_NONE);
    PlatformFileClose(&f); // closing "none" is harmless
}

#ifdef _WIN32
TEST_F(PlatformFileTest, AFileHeldOpenCannotBeOpenedAgain) {
    PlatformFile first = PlatformFileOpenRead(path_.c_str());
    ASSERT_NE(first, PLATFORM_FILE_NONE);
    EXPECT_EQ(PlatformFileOpenRead(path_.c_str()), PLATFORM_FILE_NONE);
    PlatformFileClose(&first);
    PlatformFile again = PlatformFileOpenRead(path_.c_str());
    EXPECT_NE(again, PLATFORM_FILE_NONE);
    PlatformFileClose(&again);
}
#else
// Off Windows one file serves several readers at once (info during an update of it, two
// instruments updated from it), while whoever locks it to write it is kept out, and keeps
// the readers out while it writes.
TEST_F(PlatformFileTest, ReadersShareAFileAndAWriterIsKeptOut) {
    PlatformFile first = PlatformFileOpenRead(path_.c_str());
    ASSERT_NE(first, PLATFORM_FILE_NONE);
    PlatformFile second = PlatformFileOpenRead(path_.c_str());
    ASSERT_NE(second, PLATFORM_FILE_NONE);
    unsigned char byte = 0;
    EXPECT_EQ(PlatformFileRead(second, &byte, 1), 1);

    const int writer = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_NE(flock(writer, LOCK_EX | LOCK_NB), 0) << "a writer got in beside two readers";
    PlatformFileClose(&first);
    EXPECT_NE(flock(writer, LOCK_EX | LOCK_NB), 0) << "a writer got in beside a reader";
    PlatformFileClose(&second);
    ASSERT_EQ(flock(writer, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(PlatformFileOpenRead(path_.c_str()), PLATFORM_FILE_NONE)
        << "a reader got in while the file was written";
    close(writer);
    PlatformFile again = PlatformFileOpenRead(path_.c_str());
    EXPECT_NE(again, PLATFORM_FILE_NONE);
    PlatformFileClose(&again);
}
#endif

TEST(PlatformFile, MissingFileGivesNone) {
    EXPECT_EQ(PlatformFileOpenRead(TestTempPath("does_not_exist.vsb").c_str()), PLATFORM_FILE_NONE);
}

std::atomic<int> g_threadRan{0};

void MarkThreadRan() {
    PlatformSleep(20);
    g_threadRan.store(1);
}

TEST(PlatformThread, StartedThreadRunsAndCanBeWaitedFor) {
    g_threadRan.store(0);
    PlatformThread t = PlatformThreadStart(MarkThreadRan, 1);
    ASSERT_NE(t, PLATFORM_THREAD_NONE);
    PlatformThreadWait(t);
    EXPECT_EQ(g_threadRan.load(), 1);
    PlatformThreadClose(&t);
    EXPECT_EQ(t, PLATFORM_THREAD_NONE);
}

} // namespace

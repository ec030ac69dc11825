#include "app/command_line.h"
#include "tests/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

CommandLineArgs Parse(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    static char program[] = "updater.exe";
    argv.push_back(program);
    for (std::string& a : arguments) {
        argv.push_back(&a[0]);
    }
    CommandLineArgs args;
    memset(&args, 'x', sizeof(args)); // parsing must start from empty
    ParseCommandLine(&args, (int)argv.size(), argv.data());
    return args;
}

TEST(CommandLine, NothingGivenLeavesEverythingUnset) {
    CommandLineArgs args = Parse({});
    EXPECT_STREQ(args.FileName, "");
    EXPECT_EQ(args.NoActivate, 0);
    EXPECT_EQ(args.ModeOverride, -1);
}

TEST(CommandLine, SwitchesSetTheModeAndTheActivation) {
    const struct {
        std::vector<std::string> arguments;
        int modeOverride;
        int noActivate;
    } cases[] = {
        {{"/d0"}, 0, 0},        {{"/d1"}, 1, 0},        {{"/d2"}, 2, 0},       {{"/D2"}, 2, 0},
        {{"/d1xyz"}, 1, 0}, // characters after the digit are not looked at
        {{"/d3"}, -1, 0},       {{"/dx"}, -1, 0},       {{"/d"}, -1, 0},       {{"/h"}, -1, 1},
        {{"/H"}, -1, 1},        {{"/help"}, -1, 1},     {{"/x"}, -1, 0},       {{"/"}, -1, 0},
        {{"/d0", "/d2"}, 2, 0}, {{"/d1", "/d9"}, 1, 0}, {{"/h", "/D0"}, 0, 1},
    };
    for (const auto& c : cases) {
        CommandLineArgs args = Parse(c.arguments);
        EXPECT_EQ(args.ModeOverride, c.modeOverride) << c.arguments[0];
        EXPECT_EQ(args.NoActivate, c.noActivate) << c.arguments[0];
        EXPECT_STREQ(args.FileName, "") << c.arguments[0];
    }
}

// A folder with a file, entered as the current directory for the test.
class CommandLineFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        startDirectory_ = fs::current_path();
        root_ = fs::path(TestTempPath("command_line"));
        fs::create_directories(root_ / "Sub");
        ASSERT_TRUE(TestWriteFile((root_ / "Sub" / "File.vsb").string(), {1, 2, 3}));
        ASSERT_TRUE(TestWriteFile((root_ / "Sub" / "Other.vsb").string(), {4}));
        fs::create_directories(root_ / "Subs");
        ASSERT_TRUE(TestWriteFile((root_ / "Subs" / "File.vsb").string(), {5}));
        fs::current_path(root_);
        // The names as the file system reports them, for comparing results.
        root_ = fs::canonical(root_);
    }
    void TearDown() override {
        fs::current_path(startDirectory_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string Full(const char* relative) const {
        return (root_ / fs::path(relative)).make_preferred().string();
    }
    static void ExpectSamePath(const std::string& actual, const std::string& expected) {
#ifdef _WIN32
        // The folders above the test's own may be typed in any case in TEMP.
        EXPECT_EQ(fs::path(actual).parent_path().filename().string() + "\\" +
                      fs::path(actual).filename().string(),
                  fs::path(expected).parent_path().filename().string() + "\\" +
                      fs::path(expected).filename().string());
        EXPECT_TRUE(fs::equivalent(actual, expected)) << actual << " vs " << expected;
#else
        EXPECT_EQ(actual, expected);
#endif
    }
    fs::path startDirectory_;
    fs::path root_;
};

TEST_F(CommandLineFileTest, ARelativePathIsResolvedAgainstTheStartDirectory) {
    for (const char* argument :
         {"Sub\\File.vsb", "Sub/File.vsb", ".\\Sub\\File.vsb", "Sub\\..\\Sub\\.\\File.vsb"}) {
        CommandLineArgs args = Parse({argument});
        ExpectSamePath(args.FileName, Full("Sub/File.vsb"));
    }
}

TEST_F(CommandLineFileTest, AnAbsolutePathFromTheRootIsResolved) {
    std::string absolute = Full("Sub/File.vsb");
#ifdef _WIN32
    absolute = absolute.substr(2); // "\..." on the current drive
#else
    for (char& c : absolute) {
        if (c == '/') {
            c = '\\'; // '/' would make it a switch
        }
    }
#endif
    CommandLineArgs args = Parse({absolute});
    ExpectSamePath(args.FileName, Full("Sub/File.vsb"));
}

TEST_F(CommandLineFileTest, AMissingFileOrFolderSetsNothing) {
    for (const char* argument :
         {"Sub\\Missing.vsb", "Nowhere\\File.vsb", "Sub\\File.vsb\\x", "Sub\\", "\\", ""}) {
        CommandLineArgs args = Parse({argument});
        EXPECT_STREQ(args.FileName, "") << argument;
    }
}

TEST_F(CommandLineFileTest, ALaterFileReplacesAnEarlierOneUnlessItDoesNotResolve) {
    CommandLineArgs args = Parse({"Sub\\File.vsb", "/d2", "Sub\\Other.vsb", "Sub\\Missing.vsb"});
    ExpectSamePath(args.FileName, Full("Sub/Other.vsb"));
    EXPECT_EQ(args.ModeOverride, 2);
}

TEST_F(CommandLineFileTest, ArgumentsOf260CharactersOrMoreAreIgnored) {
    // Padding with "\." components keeps the path valid at any length; the folder's
    // name length sets the parity.
    auto padded = [](size_t length) {
        const std::string tail = "\\File.vsb";
        std::string argument = length % 2 == 0 ? "Sub" : "Subs";
        while (argument.size() + tail.size() < length) {
            argument += "\\.";
        }
        return argument + tail;
    };
    ASSERT_EQ(padded(259).size(), 259u);
    ASSERT_EQ(padded(260).size(), 260u);
    ExpectSamePath(Parse({padded(259)}).FileName, Full("Subs/File.vsb"));
    ExpectSamePath(Parse({padded(258)}).FileName, Full("Sub/File.vsb"));
    EXPECT_STREQ(Parse({padded(260)}).FileName, "");
    EXPECT_STREQ(Parse({padded(300)}).FileName, "");
}

TEST_F(CommandLineFileTest, ComponentsTakeTheirStoredNames) {
    CommandLineArgs args = Parse({"sub\\FILE.vsb"});
#ifdef _WIN32
    // Found whatever the case, and named as the file system stores it.
    EXPECT_EQ(fs::path(args.FileName).filename().string(), "File.vsb");
    EXPECT_EQ(fs::path(args.FileName).parent_path().filename().string(), "Sub");

    // From the drive on: "X:\" is kept as typed, every folder below takes its stored name.
    std::string shouted = Full("Sub/File.vsb");
    for (char& c : shouted) {
        c = (char)toupper((unsigned char)c);
    }
    shouted[0] = (char)tolower((unsigned char)shouted[0]);
    CommandLineArgs fromDrive = Parse({shouted});
    EXPECT_EQ(fromDrive.FileName[0], shouted[0]);
    ExpectSamePath(fromDrive.FileName, Full("Sub/File.vsb"));
#else
    // A case-sensitive file system has no other name for it.
    EXPECT_STREQ(args.FileName, "");
#endif
}

} // namespace

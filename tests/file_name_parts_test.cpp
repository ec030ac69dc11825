#include "app/file_name_parts.h"
#include "platform/platform_thread_testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

uint32_t OffsetOf(const FileNamePart& part) {
    return part.wParam >> 16;
}

TEST(FileNameParts, AnEightCharacterNameTravelsInThreePiecesTheLastOnlyTheTerminator) {
    char name[PATH_SIZE] = "ABCDEFGH";
    FileNamePart parts[FILE_NAME_PART_MAX];
    ASSERT_EQ(FileNamePartsMake(name, parts), 3);
    const FileNamePart expected[] = {
        {211, 0x44434241}, {211 | (4u << 16), 0x48474645}, {211 | (8u << 16), 0}};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(parts[i].wParam, expected[i].wParam) << i;
        EXPECT_EQ(parts[i].lParam, expected[i].lParam) << i;
        EXPECT_EQ(parts[i].wParam & 0xFFFF, (uint32_t)CMD_FILE_NAME_PART);
    }
}

TEST(FileNameParts, PieceCountIsTheLengthOverFourPlusOne) {
    const struct {
        size_t length;
        int pieces;
    } cases[] = {{0, 0}, {1, 1}, {3, 1}, {4, 2}, {5, 2}, {9, 3}, {255, 64}, {256, 65}, {259, 65}};
    for (const auto& c : cases) {
        char name[PATH_SIZE] = {};
        memset(name, 'n', c.length);
        FileNamePart parts[FILE_NAME_PART_MAX];
        ASSERT_EQ(FileNamePartsMake(name, parts), c.pieces) << c.length;
        if (c.pieces > 0) {
            EXPECT_EQ(OffsetOf(parts[c.pieces - 1]), (uint32_t)(c.pieces - 1) * 4);
        }
    }
}

TEST(FileNameParts, NothingBeyondTheTerminatorLeavesTheProcess) {
    char name[PATH_SIZE] = "ABCDEF";
    memcpy(name + 7, "secret", 6); // stale bytes behind the name
    FileNamePart parts[FILE_NAME_PART_MAX];
    ASSERT_EQ(FileNamePartsMake(name, parts), 2);
    EXPECT_EQ(parts[1].lParam, 0x00004645u);
}

TEST(FileNameParts, AnUnterminatedBufferIsCutToAName) {
    // Heap memory of exactly the buffer's size: the sanitizer sees any read beyond it.
    std::vector<char> name(PATH_SIZE, 'z');
    FileNamePart parts[FILE_NAME_PART_MAX];
    ASSERT_EQ(FileNamePartsMake(name.data(), parts), FILE_NAME_PART_MAX);
    EXPECT_EQ(OffsetOf(parts[FILE_NAME_PART_MAX - 1]), 256u);
    EXPECT_EQ(parts[FILE_NAME_PART_MAX - 1].lParam, 0x007A7A7Au);
}

// Sends name through Make and Store; returns the results of the stores.
std::vector<int> Deliver(const char* name, char* assembly) {
    FileNamePart parts[FILE_NAME_PART_MAX];
    int count = FileNamePartsMake(name, parts);
    std::vector<int> results;
    for (int i = 0; i < count; i++) {
        results.push_back(FileNamePartStore(assembly, parts[i].wParam, (intptr_t)parts[i].lParam));
    }
    return results;
}

TEST(FileNameParts, AThreePieceNameIsCompleteOnlyAfterTheThirdPiece) {
    std::vector<char> assembly(PATH_SIZE, 'x');
    char name[PATH_SIZE] = "C:\\\xC4\\b.vsb"; // ten characters, one with the top bit set
    std::vector<int> results = Deliver(name, assembly.data());
    const std::vector<int> expected = {FILE_NAME_PART_STORED, FILE_NAME_PART_STORED,
                                       FILE_NAME_PART_COMPLETE};
    EXPECT_EQ(results, expected);
    EXPECT_STREQ(assembly.data(), name);
}

TEST(FileNameParts, APieceThatWouldNotFitIsIgnored) {
    const struct {
        uint32_t offset;
        int result;
    } cases[] = {{252, FILE_NAME_PART_STORED},    {256, FILE_NAME_PART_STORED},
                 {257, FILE_NAME_PART_IGNORED},   {258, FILE_NAME_PART_IGNORED},
                 {260, FILE_NAME_PART_IGNORED},   {0xFFFC, FILE_NAME_PART_IGNORED},
                 {0xFFFF, FILE_NAME_PART_IGNORED}};
    for (const auto& c : cases) {
        std::vector<char> assembly(PATH_SIZE, 'x');
        uintptr_t wParam = CMD_FILE_NAME_PART | ((uintptr_t)c.offset << 16);
        EXPECT_EQ(FileNamePartStore(assembly.data(), wParam, 0x64636261), c.result) << c.offset;
        if (c.result == FILE_NAME_PART_IGNORED) {
            EXPECT_EQ(std::string(assembly.begin(), assembly.end()), std::string(PATH_SIZE, 'x'));
        }
        // Even a terminator that would fall outside the buffer completes nothing.
        if (c.result == FILE_NAME_PART_IGNORED) {
            EXPECT_EQ(FileNamePartStore(assembly.data(), wParam, 0), FILE_NAME_PART_IGNORED);
        }
    }
}

TEST(FileNameParts, PiecesInAnyOrderOrFromAnySenderNeverCompleteAnUnterminatedName) {
    std::vector<char> assembly(PATH_SIZE, 'x');
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int i = 0; i < 20000; i++) {
        // Offsets around the buffer's end and anywhere in the 16 bits; bytes mostly nonzero.
        uint32_t offset = (next() & 1) ? 240 + next() % 32 : next() & 0xFFFF;
        uint32_t bytes = next() | 0x01010101u;
        if (next() % 8 == 0) {
            bytes &= ~(0xFFu << (8 * (next() % 4)));
        }
        uintptr_t wParam = CMD_FILE_NAME_PART | ((uintptr_t)offset << 16);
        int result = FileNamePartStore(assembly.data(), wParam, (intptr_t)(int32_t)bytes);
        if (result == FILE_NAME_PART_COMPLETE) {
            ASSERT_NE(memchr(assembly.data(), 0, PATH_SIZE), nullptr) << "offset " << offset;
        }
    }
}

std::vector<FileNamePart> g_posted;

void RecordPost(PlatformWindow, uint32_t commandId, intptr_t lParam) {
    g_posted.push_back(FileNamePart{commandId, (uint32_t)lParam});
}

TEST(FileNameParts, SendPostsEveryPieceInOrderToTheWindow) {
    g_posted.clear();
    PlatformSetWindowHooks(RecordPost, nullptr);
    int window = 0;
    char name[PATH_SIZE] = "\xE9\xE8\xFF\xF0name.vsb";
    FileNamePartsSend(&window, name);
    FileNamePartsSend(&window, ""); // an empty name posts nothing
    PlatformSetWindowHooks(nullptr, nullptr);

    ASSERT_EQ(g_posted.size(), 4u);
    std::vector<char> assembly(PATH_SIZE, 'x');
    for (size_t i = 0; i < g_posted.size(); i++) {
        EXPECT_EQ(OffsetOf(g_posted[i]), i * 4);
        FileNamePartStore(assembly.data(), g_posted[i].wParam,
                          (intptr_t)(int32_t)g_posted[i].lParam);
    }
    EXPECT_STREQ(assembly.data(), name);
}

} // namespace

// Bounded formatting and the log file.

#include "fakes/test_support.h"

#include <cstring>

class CommonTest : public SystemTest {};

TEST_F(CommonTest, FormatBoundedCutsAtTheBufferEnd) {
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    FormatBounded(buffer, sizeof buffer, "%s-%d", "abcdef", 42);
    EXPECT_STREQ("abcdef-", buffer);
    FormatBounded(buffer, sizeof buffer, "%d", 7);
    EXPECT_STREQ("7", buffer);
}

TEST_F(CommonTest, LogLinesWaitForAnotherWriterAndTheLogIsResetPerRun) {
    LogLine("one");
    EXPECT_EQ(std::vector<int>{_SH_DENYWR}, fake::Get().logShares) << "readers may hold the log";
    fake::Get().logBusyOpens = 5; // another writer holds the file for a few attempts
    LogLine("two");
    EXPECT_EQ(50u, fake::Get().sleptMs);
    fake::Get().logBusyOpens = 1000; // held by some other program: written beside it
    LogLine("three");
    EXPECT_EQ(std::vector<int>{_SH_DENYNO}, std::vector<int>{fake::Get().logShares.back()});
    fake::Get().logBusy = true; // and one that lets no one write: lost, after a bounded wait
    fake::Get().sleptMs = 0;
    LogLine("lost");
    EXPECT_LT(fake::Get().sleptMs, 1000u);
    fake::Get().logBusy = false;
    LogLine("four");
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three", "four"}), LogLines());
    // A fresh run empties the log in place, sharing it with readers (a delete would leave a file
    // that a reader allowing deletion makes vanish later), and waits for another writer's line.
    fake::Get().logShares.clear();
    fake::Get().logBusyOpens = 3;
    ResetLog();
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(std::vector<int>(4, _SH_DENYWR), fake::Get().logShares);
}

TEST_F(CommonTest, NamesInLogLinesCarryNoControlCharactersAndAreCutWhole) {
    struct Row {
        UINT codePage;
        std::string name;
        size_t capacity;
        std::string line;
    };
    const std::string l8 = "\xc5\x81"; // "Ł" in UTF-8
    const Row rows[] = {
        {CP_UTF8, "Lab\r\nFerrolink stopped.", 64, "<Lab??Ferrolink stopped.>"},
        {CP_UTF8, std::string("a\tb\x1b\x7f", 5), 64,
         "<a?b?"
         "?>"},
        {CP_UTF8,
         "a\xc2\x85"
         "b\xc2\x9f\xc2\xa0",
         64, "<a?b?\xc2\xa0>"}, // C1 controls, NBSP kept
        {1252,
         "a\x85"
         "b",
         64,
         "<a\x85"
         "b>"}, // an ellipsis there
        {CP_UTF8,
         "a\xe2\x80\xa8"
         "b\xe2\x80\xa9"
         "c\xe2\x80\xae"
         "d\xe2\x81\xa6"
         "e",
         64, "<a?b?c?d?e>"}, // separators and bidi controls
        {CP_UTF8, "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", 64,
         "<\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa>"}, // their neighbours kept
        {1252, "a\xe2\x80\xae", 64, "<a\xe2\x80\xae>"},         // three letters of Windows-1252
        {CP_UTF8, "Caf\xc3\xa9 \xe6\x97\xa5", 64, "<Caf\xc3\xa9 \xe6\x97\xa5>"}, // kept as is
        {CP_UTF8, "abcdefgh", 8, "<abcde>"},
        {CP_UTF8, l8 + l8 + l8, 8, "<" + l8 + l8 + ">"}, // 5 bytes of room: two letters
        {CP_UTF8, "a\xe6\x97\xa5\xe6\x97\xa5", 8, "<a\xe6\x97\xa5>"}, // three-byte letters
        {932, "a\x93\xfa\x96\x7b", 6, "<a\x93\xfa>"},                 // Shift JIS pairs
        {932, "\x93\xfa\x96\x7b", 6, "<\x93\xfa>"},
        {1252, "Caf\xe9s", 6, "<Caf>"},
        {CP_UTF8, "name", 2, "<"}, // no room even for the frame: cut as ever
    };
    for (const Row &row : rows) {
        fake::Get().activeCodePage = row.codePage;
        char line[64];
        memset(line, 'x', sizeof line);
        FormatNameLine(line, row.capacity, "<", row.name.c_str(), ">");
        EXPECT_EQ(row.line, line) << row.name;
    }
}

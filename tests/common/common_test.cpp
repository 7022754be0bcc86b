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
    ResetLog();
    EXPECT_TRUE(LogLines().empty());
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

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

TEST_F(CommonTest, LogLinesAreDroppedWhileTheFileIsBusyAndTheLogIsResetPerRun) {
    LogLine("one");
    fake::Get().logBusy = true;
    LogLine("dropped");
    fake::Get().logBusy = false;
    LogLine("two");
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), LogLines());
    ResetLog();
    EXPECT_TRUE(LogLines().empty());
}

// The conf's lines as ferrolink-start reads them: what 1.2's environment files allowed reads the
// same, and what they skipped in silence is refused with the line and the reason.

#include "linux/systemd/start_conf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(StartConf, LinesReadAsSystemdReadThemOrAreRefusedWithTheirLine) {
    struct Row {
        std::string text;
        const char *printer; // PRINTER as read; nullptr: the conf is refused
        const char *reason;  // the refusal's text, or "" for none
    } rows[] = {
        {"PRINTER=office\n", "office", ""},
        {"  PRINTER = lab # office \r\n", "lab # office", ""},
        {"# PRINTER=no\n; PRINTER=no\n\nPRINTER=\"front \\\"desk\\\"\"\n", "front \"desk\"", ""},
        {"PRINTER='a \\ b'\n", "a \\ b", ""},
        {"PRINTER=a\\ b\\\\ \n", "a b\\", ""},
        {"PRINTER=one\nPRINTER=two\n", "two", ""},
        {"PRINTER=office\nIDLE_TIMEOUT=90\n", "office", ""},
        {"PRINTER=office\nFERROLINK_IDLE_TIMEOUT=9\n", nullptr,
         "c line 2: unknown name FERROLINK_I"},
        {"PRINTER=office\nDNSSD_NAME=Caf\xe9\n", "office", ""}, // the default name then
        {"PRINTER=office\nPRINTR=lab\n", nullptr, "c line 2: unknown name PRINTR"},
        {"export PRINTER=office\n", nullptr, "c line 1: it is neither a line NAME=value"},
        {"PRINTER\n", nullptr, "c line 1: it is neither"},
        {"PRINTER=caf\xe9\n", nullptr, "c line 1: the value of PRINTER is not UTF-8"},
        {"PRINTER=\"lab\n", nullptr, "c line 1: its quote is not closed"},
        {"PRINTER=\"lab\" x\n", nullptr, "c line 1: it has more after"},
        {"PRINTER=lab\\\n", nullptr, "c line 1: it ends in a backslash"},
        {std::string("PRINTER=l\0b\n", 12), nullptr, "c line 1: it holds a NUL byte"},
        {"PRINTER=" + std::string(512, 'x') + "\n", nullptr, "c line 1: the value is longer"},
    };
    for (const Row &row : rows) {
        static ConfSettings settings;
        char reason[CONF_REASON_SIZE];
        testing::internal::CaptureStderr();
        bool read = ReadConfText(row.text.data(), row.text.size(), "c", "", false, &settings,
                                 reason, sizeof reason);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(row.printer != nullptr, read) << row.text;
        EXPECT_EQ(row.reason, std::string(reason).substr(0, strlen(row.reason))) << row.text;
        if (read && row.printer != nullptr) {
            EXPECT_STREQ(row.printer, settings.value[CONF_PRINTER]) << row.text;
        }
    }
}

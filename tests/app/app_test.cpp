// Command front end: usage, command words, the port rule and the console modes.

#include "fakes/test_support.h"

#include <utility>

using Lines = std::vector<std::string>;

class AppTest : public SystemTest {};

static std::string UsageFor(const std::string &name) {
    return name + " INSTALL \"Printer Name\" [port]\n" + name + " REMOVE [port]\n" + name +
           " STANDALONE \"Printer Name\" [port]\n" + name +
           " BACKGROUND \"Printer Name\" [port]\nIf port is unspecified, 9100 is assumed.\n";
}

TEST_F(AppTest, UsageNamesTheProgramByItsBaseNameAndLeavesAFreshLog) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\tools\\relay.exe", "relay.exe"},
        {"relay", "relay"},
        {"/usr/local/bin/ferrolink", "ferrolink"},
        {"D:relay.exe", "relay.exe"},
        {"C:\\tools\\", ""},
    };
    for (const auto &[path, name] : cases) {
        EXPECT_EQ(1, Run({path})) << path;
        EXPECT_EQ(UsageFor(name), err) << path;
        EXPECT_EQ("", out);
        EXPECT_EQ((Lines{"KVFerrolink 1.0", "Ferrolink starting..."}), LogLines());
    }
    // No argument 0 at all: the usage with an empty name instead of a crash.
    EXPECT_EQ(1, Run({}));
    EXPECT_EQ(UsageFor(""), err);
}

TEST_F(AppTest, CommandWordsIgnoreCaseButMustMatchWhole) {
    fake::Get().openError = ERROR_SERVICE_DOES_NOT_EXIST;
    EXPECT_EQ(0, Run({"relay", "rEmOvE"}));
    EXPECT_EQ("Error: OpenService (KVFerrolink_9100) 1060\n", out);
    for (const char *word : {"REMOVEX", "-remove", "", "REMOV"}) {
        EXPECT_EQ(1, Run({"relay", word})) << word;
        EXPECT_EQ(UsageFor("relay"), err);
    }
}

TEST_F(AppTest, WrongArgumentCountsPrintTheUsage) {
    const Lines cases[] = {
        {"relay", "INSTALL"},
        {"relay", "STANDALONE"},
        {"relay", "BACKGROUND"},
        {"relay", "INSTALL", "HP", "9101", "extra"},
        {"relay", "REMOVE", "9101", "extra"},
        {"relay", "PRIVATE_SERVICE", "9101", "extra"},
        {"relay", "INSTALL", "HP", "65536"}, // a port deciding to 0 serves no port of its own
        {"relay", "INSTALL", "HP", "2147418112"},
        {"relay", "STANDALONE", "HP", "65536"}, // would listen on a port reported nowhere
        {"relay", "BACKGROUND", "HP", "131072"},
    };
    for (const auto &arguments : cases) {
        EXPECT_EQ(1, Run(arguments)) << arguments[1] << " with " << arguments.size();
        EXPECT_EQ(UsageFor("relay"), err);
        EXPECT_TRUE(fake::Get().events.empty()) << "no action may run";
    }
}

// The port rule, observed through the instance name that REMOVE addresses.
TEST_F(AppTest, PortRuleTakesLow16BitsOfAPositiveClampedNumber) {
    const std::pair<std::string, int> cases[] = {
        {"9101", 9101},
        {"abc", 9100},
        {"0", 9100},
        {"-5", 9100},
        {"9101abc", 9101},
        {"70000", 4464},
        {"65536", 0},
        {"99999999999", 65535},
        {"-99999999999", 9100},
        {" \t+9102", 9102},
        {"", 9100},
        {"2147483647", 65535},
        {"2147483648", 65535},
        {"4294967297", 65535},
        {"-2147483648", 9100},
        {std::string(5000, '9'), 65535},
        {"00009103", 9103},
    };
    for (const auto &[argument, port] : cases) {
        fake::Reset();
        fake::Get().openError = ERROR_SERVICE_DOES_NOT_EXIST;
        EXPECT_EQ(0, Run({"relay", "REMOVE", argument})) << argument;
        EXPECT_EQ("Error: OpenService (KVFerrolink_" + std::to_string(port) + ") 1060\n", out)
            << "argument '" << argument.substr(0, 20) << "'";
    }
}

TEST_F(AppTest, StandaloneWritesTheVendorKeyAndRelaysUntilTheListenerCannotStart) {
    fake::Get().printers = {"HP"};
    fake::Client client;
    client.steps = {fake::Data("hello")};
    fake::Get().clients = {client};
    bool writtenAtAccept = false;
    fake::Get().onAccept = [&writtenAtAccept](size_t) {
        writtenAtAccept = fake::GetValue(VendorKey(9101), "Printer") != nullptr;
    };
    EXPECT_EQ(0, Run({"relay", "STANDALONE", "HP", "9101"}));
    EXPECT_TRUE(writtenAtAccept) << "configured before the first connection is served";
    EXPECT_EQ("", out + err);
    EXPECT_EQ(0, fake::Get().freeConsoleCalls);

    const fake::Value *description = fake::GetValue(VendorKey(9101), "Description");
    ASSERT_NE(nullptr, description);
    EXPECT_EQ(DWORD(REG_SZ), description->type);
    EXPECT_EQ(std::string("Routes all traffic from port 910x to a local printer\0", 53),
              description->bytes);
    const fake::Value *printer = fake::GetValue(VendorKey(9101), "Printer");
    ASSERT_NE(nullptr, printer);
    EXPECT_EQ(DWORD(REG_SZ), printer->type);
    EXPECT_EQ(std::string("HP\0", 3), printer->bytes);
    const fake::Value *port = fake::GetValue(VendorKey(9101), "Port");
    ASSERT_NE(nullptr, port);
    EXPECT_EQ(DWORD(REG_DWORD), port->type);
    EXPECT_EQ(std::string("\x8d\x23\0\0", 4), port->bytes);
    EXPECT_EQ(nullptr, fake::GetValue(ServiceKey(9101), "Printer"));

    ASSERT_EQ(1u, fake::Get().jobs.size());
    EXPECT_EQ("hello", fake::Get().jobs[0].Bytes());
    EXPECT_EQ(htons(9101), fake::Get().boundPort);
    // The first listener ends when listen fails; the second cannot get a socket.
    EXPECT_EQ((Lines{"KVFerrolink 1.0", "Ferrolink starting...",
                     "Accept print job for HP from 127.0.0.1", "Error: no socket: 10055"}),
              LogLines());
    EXPECT_EQ(1, fake::Get().startups);
    EXPECT_EQ(1, fake::Get().cleanups);
}

TEST_F(AppTest, BackgroundDetachesFromTheConsoleOnce) {
    fake::Get().clients = {fake::Client()};
    EXPECT_EQ(0, Run({"relay", "background", "HP"}));
    EXPECT_EQ(1, fake::Get().freeConsoleCalls);
    EXPECT_NE(nullptr, fake::GetValue(VendorKey(9100), "Printer"));
}

TEST_F(AppTest, PortTakenEndsTheConsoleRelayWithStatusZeroAndItsKeyUntouched) {
    // Rows: the port is taken; bound but another run listens first (two runs started at once,
    // the next bind then fails); the configuration cannot be written (a read-only store).
    struct Row {
        const char *name;
        int bindError, listenFailAt;
        DWORD setValueError;
        Lines lines;
    };
    const Row rows[] = {
        {"port taken", WSAEADDRINUSE, -1, 0, {"Error: couldn't bind: 10048"}},
        {"listen fails", 0, 0, 0, {"Error: no socket: 10055"}},
        {"write fails", 0, -1, ERROR_ACCESS_DENIED, {"Error: couldn't write configuration: 5"}},
    };
    const std::string lab("Lab\0", 4);
    for (const char *mode : {"STANDALONE", "BACKGROUND"}) {
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(mode) + ": " + row.name);
            fake::Reset();
            fake::Get().printers = {"HP", "Lab"};
            fake::SetValue(VendorKey(9100), "Printer", REG_SZ, lab);
            fake::Get().bindError = row.bindError;
            fake::Get().listenFailAt = row.listenFailAt;
            fake::Get().setValueError = row.setValueError;
            fake::Client client;
            client.steps = {fake::Data("for HP")};
            fake::Get().clients = {client};
            EXPECT_EQ(0, Run({"relay", mode, "HP", "9100"}));
            Lines expected = {"KVFerrolink 1.0", "Ferrolink starting..."};
            expected.insert(expected.end(), row.lines.begin(), row.lines.end());
            EXPECT_EQ(expected, LogLines());
            EXPECT_EQ(row.listenFailAt == 0 ? 2 : 1, fake::Get().socketCalls);
            EXPECT_EQ(lab, fake::GetValue(VendorKey(9100), "Printer")->bytes);
            EXPECT_EQ(nullptr, fake::GetValue(VendorKey(9100), "Port"));
            EXPECT_TRUE(fake::Get().jobs.empty()) << "nothing served";
            EXPECT_EQ(0u, fake::Get().nextClient) << "nothing accepted";
        }
    }
}

// On Linux the exit status names why the relay could not serve (the service's stop code), so
// that systemd shows the instance failed; Windows keeps 0.
TEST_F(AppTest, LinuxExitStatusNamesTheListenerFailure) {
    struct Row {
        int socketError, bindError;
        DWORD setValueError;
        bool linux;
        int status;
    };
    for (const Row &row :
         {Row{WSAENOBUFS, 0, 0, true, 3}, Row{0, WSAEADDRINUSE, 0, true, 4},
          Row{0, WSAEACCES, 0, true, 4}, Row{0, 0, ERROR_ACCESS_DENIED, true, 7},
          Row{0, WSAEADDRINUSE, 0, false, 0}, Row{0, 0, ERROR_ACCESS_DENIED, false, 0}}) {
        for (const char *mode : {"STANDALONE", "BACKGROUND"}) {
            fake::Reset();
            fake::Get().exitStatusCarriesFailure = row.linux;
            fake::Get().socketError = row.socketError;
            fake::Get().bindError = row.bindError;
            fake::Get().setValueError = row.setValueError;
            fake::Get().clients = {fake::Client()}; // the listener would serve if it could
            EXPECT_EQ(row.status, Run({"relay", mode, "HP", "9100"}))
                << mode << " " << row.socketError << " " << row.bindError << " " << row.linux;
        }
    }
    fake::Reset();
    fake::Get().exitStatusCarriesFailure = true;
    EXPECT_EQ(0, Run({"relay", "REMOVE", "9100"})) << "a failure of an earlier run is not kept";
}

TEST_F(AppTest, PrivateServiceOutsideTheServiceManagerLogsExit) {
    fake::Get().dispatcherError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    EXPECT_EQ(0, Run({"relay", "PRIVATE_SERVICE", "9100"}));
    EXPECT_EQ((Lines{"KVFerrolink 1.0", "Ferrolink starting...", "Ferrolink exit"}), LogLines());
}

// The service process of port 0 (installed by an earlier build) reads its own key, never 9100's.
TEST_F(AppTest, ServiceOfPortZeroActsAsItsOwnInstance) {
    for (const char *argument : {"0", "65536"}) {
        fake::Reset();
        fake::SetValue(ServiceKey(0), "Printer", REG_SZ, std::string("Own\0", 4));
        fake::SetValue(ServiceKey(0), "Port", REG_DWORD, std::string("\x8f\x23\0\0", 4));
        fake::SetValue(ServiceKey(9100), "Printer", REG_SZ, std::string("Other\0", 6));
        EXPECT_EQ(0, Run({"relay", "PRIVATE_SERVICE", argument}));
        EXPECT_EQ("dispatch KVFerrolink_0", fake::Get().events.at(0)) << argument;
        EXPECT_EQ("Own on 9103 (0)", LogLines().at(2)) << argument;
        EXPECT_EQ(htons(9103), fake::Get().boundPort);
    }
}

TEST_F(AppTest, PrinterNamesTheCodePageCannotHoldNeverReachALookAlike) {
    struct Row {
        UINT codePage;
        std::u16string wide;
        std::string ansi, stored;
    };
    const std::string lab8 = "\xc5\x81"
                             "ab"; // "Łab" in UTF-8
    const Row rows[] = {
        {CP_UTF8, u"Łab", lab8, lab8},              // UTF-8 active code page: taken as given
        {1252, u"Łab", "Lab", ""},                  // the run-time's best-fit look-alike
        {1252, u"Принтер", "???????", ""},          // nothing of it in the code page
        {1252, u"Caf\u00e9", "Caf\xe9", "Caf\xe9"}, // in the code page
        {1252, u"Lab", "Lab", "Lab"},
        {1252, u"Lab\"", "Lab", ""}, // split otherwise than the run-time did
    };
    for (const char *mode : {"STANDALONE", "INSTALL"}) {
        for (const Row &row : rows) {
            fake::Reset();
            fake::Get().activeCodePage = row.codePage;
            fake::Get().wideArguments = {u"relay", u"x", row.wide, u"9101"};
            fake::Get().printers = {"Lab", lab8, "Caf\xe9"};
            fake::Client client;
            client.steps = {fake::Data("job")};
            fake::Get().clients = {client};
            EXPECT_EQ(0, Run({"relay", mode, row.ansi, "9101"}));
            std::string key = mode[0] == 'I' ? ServiceKey(9101) : VendorKey(9101);
            const fake::Value *stored = fake::GetValue(key, "Printer");
            ASSERT_NE(nullptr, stored) << mode << " " << row.ansi;
            EXPECT_EQ(row.stored + '\0', stored->bytes) << mode << " " << row.ansi;
            EXPECT_EQ(fake::Get().wideSplits, fake::Get().localFrees);
            if (mode[0] == 'I')
                continue;
            ASSERT_EQ(row.stored.empty() ? 0u : 1u, fake::Get().jobs.size()) << row.ansi;
            if (row.stored.empty())
                EXPECT_EQ("Error opening print job.", LogLines().at(3)) << row.ansi;
            else
                EXPECT_EQ(row.stored, fake::Get().jobs[0].printer);
        }
    }
    // A wide command line the system cannot split gives no name either.
    fake::Reset();
    fake::Get().activeCodePage = 1252;
    fake::Get().wideFails = true;
    fake::Get().clients = {fake::Client()};
    EXPECT_EQ(0, Run({"relay", "BACKGROUND", "Lab", "9101"}));
    EXPECT_EQ(std::string("\0", 1), fake::GetValue(VendorKey(9101), "Printer")->bytes);
}

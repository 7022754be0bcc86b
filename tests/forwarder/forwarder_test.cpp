// Raw print forwarder: job bytes and framing, the accept line, and every row of its failure table.

#include "forwarder/forwarder.h"

#include "advertise/advertise.h"

#include "fakes/test_support.h"

#include <random>

using Lines = std::vector<std::string>;

class ForwarderTest : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        FormatBounded(InstanceName, sizeof InstanceName, "KVFerrolink_%d", 9100);
        fake::Get().printers = {"HP", "Lab"};
        SetPrinter("HP");
    }
    static void SetPrinter(const std::string &name) {
        fake::SetValue(ServiceKey(9100), "Printer", REG_SZ, name + '\0');
    }
    static fake::Client &AddClient(std::vector<fake::Receive> steps) {
        fake::Client client;
        client.steps = std::move(steps);
        fake::Get().clients.push_back(client);
        return fake::Get().clients.back();
    }
    static const fake::Client &ClientAt(size_t i) { return fake::Get().clients.at(i); }
    static const std::vector<fake::Job> &Jobs() { return fake::Get().jobs; }
};

static std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto &byte : bytes)
        byte = char(random() & 0xFF);
    return bytes;
}

TEST_F(ForwarderTest, EachConnectionBecomesOneRawJobInChunksOfAtMost1024) {
    std::string large = RandomBytes(5000, 1);
    AddClient({fake::Data(large.substr(0, 3000)), fake::Data(large.substr(3000))});
    AddClient({fake::Data(std::string(1024, 'x'))});
    AddClient({}); // connects and closes at once
    EXPECT_EQ(1, RunPrintListener(false));

    ASSERT_EQ(3u, Jobs().size());
    EXPECT_EQ(large, Jobs()[0].Bytes());
    for (const auto &write : Jobs()[0].writes)
        EXPECT_LE(write.size(), 1024u);
    EXPECT_EQ(Lines({std::string(1024, 'x')}), Jobs()[1].writes) << "one write of 1024 bytes";
    EXPECT_EQ((std::vector<int>{1024, 1024}), ClientAt(1).receiveSizes);
    EXPECT_TRUE(Jobs()[2].writes.empty());
    for (const auto &job : Jobs()) {
        EXPECT_TRUE(job.started && job.closed);
        EXPECT_EQ("Forwarded Job", job.document);
        EXPECT_EQ("RAW", job.datatype);
    }
    for (size_t i = 0; i < 3; i++)
        EXPECT_TRUE(ClientAt(i).closed);
    EXPECT_EQ(0, fake::Get().openHandles);
    EXPECT_EQ(2, fake::Get().backlog);
    EXPECT_EQ(htons(9100), fake::Get().boundPort);
    EXPECT_EQ(0u, fake::Get().boundAddress);
    EXPECT_EQ(4, fake::Get().listenCalls) << "listen re-armed after every connection";
    EXPECT_EQ(1, fake::Get().closedListeners);
}

TEST_F(ForwarderTest, AcceptLineShowsThePrinterAndEachAddressByteAsUnsigned) {
    AddClient({}).address[0] = 10;
    fake::Get().clients[0].address[1] = 0;
    fake::Get().clients[0].address[2] = 0;
    fake::Get().clients[0].address[3] = 7;
    fake::Client high;
    const uint8_t bytes[4] = {200, 255, 128, 7};
    std::copy(bytes, bytes + 4, high.address);
    fake::Get().clients.push_back(high);
    RunPrintListener(false);
    EXPECT_EQ((Lines{"Accept print job for HP from 10.0.0.7",
                     "Accept print job for HP from 200.255.128.7"}),
              LogLines());
}

TEST_F(ForwarderTest, PrinterIsReadAfreshForEveryConnection) {
    AddClient({fake::Data("first")});
    AddClient({fake::Data("second")});
    AddClient({fake::Data("value deleted")});
    AddClient({fake::Data("wrong type")});
    AddClient({fake::Data("too long")});
    AddClient({fake::Data("key deleted")});
    fake::Get().onAccept = [](size_t client) {
        auto &values = fake::Get().registry.begin()->second;
        if (client == 1)
            SetPrinter("Lab");
        if (client == 2)
            values.erase("printer");
        if (client == 3)
            fake::SetValue(ServiceKey(9100), "Printer", REG_DWORD, std::string("HP\0\0", 4));
        if (client == 4)
            SetPrinter(std::string(300, 'L'));
        if (client == 5)
            fake::Get().registry.clear();
    };
    RunPrintListener(false);
    ASSERT_EQ(2u, Jobs().size()) << "no job after the name could not be read";
    EXPECT_EQ("HP", Jobs()[0].printer);
    EXPECT_EQ("Lab", Jobs()[1].printer);
    EXPECT_EQ("second", Jobs()[1].Bytes());
    Lines failed = {"Accept print job for  from 127.0.0.1", "Error opening print job."};
    Lines lines = LogLines();
    ASSERT_EQ(10u, lines.size());
    for (size_t i = 2; i < 10; i++)
        EXPECT_EQ(failed[i % 2], lines[i]) << i;
}

TEST_F(ForwarderTest, PrinterThatCannotOpenOrStartIsLoggedAndNothingIsRead) {
    SetPrinter("Unknown");
    AddClient({fake::Data("lost")});
    RunPrintListener(false);
    EXPECT_EQ((Lines{"Accept print job for Unknown from 127.0.0.1", "Error opening print job."}),
              LogLines());
    EXPECT_TRUE(ClientAt(0).receiveSizes.empty());
    EXPECT_TRUE(ClientAt(0).closed);

    fake::Reset();
    fake::Get().printers = {"HP"};
    SetPrinter("HP");
    fake::Get().startDocError = ERROR_INVALID_PARAMETER;
    AddClient({fake::Data("lost")});
    AddClient({fake::Data("lost too")});
    EXPECT_EQ(1, RunPrintListener(false));
    ASSERT_EQ(2u, Jobs().size());
    EXPECT_TRUE(Jobs()[0].closed && Jobs()[1].closed) << "an opened printer is closed again";
    EXPECT_EQ(0, fake::Get().openHandles);
}

TEST_F(ForwarderTest, NoConfiguredPrinterLogsAnEmptyNameAndGoesOn) {
    fake::Get().registry.clear();
    PrinterName[0] = '\0';
    AddClient({fake::Data("x")});
    AddClient({fake::Data("y")});
    RunPrintListener(false);
    EXPECT_EQ((Lines{"Accept print job for  from 127.0.0.1", "Error opening print job.",
                     "Accept print job for  from 127.0.0.1", "Error opening print job."}),
              LogLines());
}

TEST_F(ForwarderTest, ShortWriteAbandonsTheRestOfTheJob) {
    fake::Get().shortWriteJob = 0;
    fake::Get().shortWriteCall = 1;
    AddClient({fake::Data(std::string(3000, 'a'))});
    AddClient({fake::Data("next")});
    RunPrintListener(false);
    ASSERT_EQ(2u, Jobs().size());
    EXPECT_EQ(2u, Jobs()[0].writes.size());
    EXPECT_EQ(2u, ClientAt(0).receiveSizes.size()) << "the rest is not read";
    EXPECT_TRUE(Jobs()[0].closed);
    EXPECT_EQ("next", Jobs()[1].Bytes());
    EXPECT_EQ((Lines{"Accept print job for HP from 127.0.0.1", "Couldn't print all data.",
                     "Accept print job for HP from 127.0.0.1"}),
              LogLines());
}

TEST_F(ForwarderTest, FailedCloseIsLoggedOnceAndOnlyForAStartedJob) {
    struct Row {
        const char *name;
        bool shortWrite, startFails;
        Lines expected;
    };
    const std::string accept = "Accept print job for HP from 127.0.0.1";
    const Row rows[] = {
        {"tail refused at the close", false, false, {accept, "Couldn't print all data."}},
        {"write already failed", true, false, {accept, "Couldn't print all data."}},
        {"job never started", false, true, {accept, "Error opening print job."}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        fake::Reset();
        ResetLog();
        fake::Get().printers = {"HP"};
        SetPrinter("HP");
        fake::Get().closeFailJob = 0;
        fake::Get().shortWriteJob = row.shortWrite ? 0 : -1;
        fake::Get().shortWriteCall = 0;
        fake::Get().startDocError = row.startFails ? ERROR_INVALID_PARAMETER : 0;
        AddClient({fake::Data(std::string(2000, 'd'))});
        AddClient({fake::Data("next")});
        EXPECT_EQ(1, RunPrintListener(false));
        Lines expected = row.expected;
        expected.push_back(accept);
        if (row.startFails)
            expected.push_back("Error opening print job.");
        EXPECT_EQ(expected, LogLines());
        ASSERT_EQ(2u, Jobs().size());
        EXPECT_TRUE(Jobs()[0].closed);
        EXPECT_EQ(0, fake::Get().openHandles);
    }
}

TEST_F(ForwarderTest, ReceiveErrorEndsTheJobLikeANormalEnd) {
    AddClient({fake::Data("partial"), fake::Failure(WSAECONNRESET), fake::Data("never")});
    AddClient({fake::Data("next")});
    AddClient({fake::Data("no time-out asked"), fake::Failure(WSAETIMEDOUT)});
    RunPrintListener(false);
    ASSERT_EQ(3u, Jobs().size());
    EXPECT_EQ("partial", Jobs()[0].Bytes());
    EXPECT_TRUE(Jobs()[0].closed);
    EXPECT_EQ("next", Jobs()[1].Bytes());
    EXPECT_EQ("no time-out asked", Jobs()[2].Bytes());
    EXPECT_FALSE(Jobs()[2].aborted);
    EXPECT_EQ(3u, LogLines().size()) << "no line for a receive error";
}

static const std::string Dword1("\1\0\0\0", 4);

static std::string Ipv6(std::initializer_list<int> groups) {
    std::string bytes;
    for (int group : groups)
        bytes += {char(group >> 8), char(group & 0xFF)};
    return bytes;
}

TEST_F(ForwarderTest, Ipv6ValueMakesADualStackListenerWhoseLinesShowEachClientsForm) {
    fake::SetValue(ServiceKey(9100), "IPv6", REG_DWORD, Dword1);
    // Rows: the client's address (empty: IPv4 10.0.0.7, mapped), its scope, the line's form.
    const std::tuple<std::string, uint32_t, std::string> rows[] = {
        {"", 0, "10.0.0.7"},
        {Ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 7}), 0, "2001:db8::7"},
        {Ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 3, "fe80::1%if3"},
        {Ipv6({0, 0, 0, 0, 0, 0, 0, 1}), 0, "::1"},
        {Ipv6({1, 0, 0, 2, 0, 0, 0, 3}), 0, "1:0:0:2::3"},
        {Ipv6({1, 0, 0, 2, 0, 0, 3, 4}), 0, "1::2:0:0:3:4"},
        {Ipv6({1, 0, 2, 3, 4, 5, 6, 0xABCD}), 0, "1:0:2:3:4:5:6:abcd"},
        {Ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0}), 0, "2001:db8::"},
    };
    Lines expected;
    for (const auto &[address, scope, shown] : rows) {
        fake::Client &client = AddClient({fake::Data(shown)});
        const uint8_t ipv4[4] = {10, 0, 0, 7};
        std::copy(ipv4, ipv4 + 4, client.address);
        client.address6 = address;
        client.scope = scope;
        expected.push_back("Accept print job for HP from " + shown);
    }
    RunPrintListener(false);
    EXPECT_EQ(expected, LogLines());
    EXPECT_EQ(AF_INET6, fake::Get().boundFamily);
    EXPECT_EQ(std::string(16, '\0'), fake::Get().boundAddress6);
    EXPECT_EQ(htons(9100), fake::Get().boundPort);
    EXPECT_EQ(Lines{"v6only 0"}, fake::Get().options);
    EXPECT_EQ(2, fake::Get().backlog);
    EXPECT_EQ(std::size(rows), Jobs().size());
}

TEST_F(ForwarderTest, WithoutIpv6TheListenerStaysIpv4AndASystemWithoutItFallsBack) {
    fake::Get().noIpv6 = true;
    fake::Get().socketCallsAllowed = 3;
    for (bool asked : {false, true}) {
        if (asked)
            fake::SetValue(ServiceKey(9100), "IPv6", REG_DWORD, Dword1);
        AddClient({});
        RunPrintListener(false);
        EXPECT_EQ(AF_INET, fake::Get().boundFamily);
        EXPECT_TRUE(fake::Get().options.empty()) << "no socket option without the values";
    }
    EXPECT_EQ((Lines{"Accept print job for HP from 127.0.0.1",
                     "IPv6 is off on this system: listening for IPv4 clients only.",
                     "Accept print job for HP from 127.0.0.1"}),
              LogLines());
    EXPECT_EQ(3, fake::Get().socketCalls) << "IPv6 asked for only when the key says so";
}

TEST_F(ForwarderTest, IdleTimeoutResetsASilentClientAndAbortsItsJob) {
    fake::SetValue(ServiceKey(9100), "IdleTimeout", REG_DWORD, std::string("\5\0\0\0", 4));
    AddClient({fake::Data("partial"), fake::Failure(WSAETIMEDOUT), fake::Data("never")});
    AddClient({fake::Data("slow "), fake::Data("but "), fake::Data("whole")});
    AddClient({fake::Data("cut"), fake::Failure(WSAECONNRESET)});
    RunPrintListener(false);
    EXPECT_EQ(
        (Lines{"Accept print job for HP from 127.0.0.1",
               "No data from 127.0.0.1 for 5 s: the connection is reset, its job is not "
               "printed.",
               "Accept print job for HP from 127.0.0.1", "Accept print job for HP from 127.0.0.1"}),
        LogLines());
    ASSERT_EQ(3u, Jobs().size());
    EXPECT_TRUE(Jobs()[0].aborted && Jobs()[0].closed);
    EXPECT_EQ("slow but whole", Jobs()[1].Bytes());
    EXPECT_FALSE(Jobs()[1].aborted);
    EXPECT_FALSE(Jobs()[2].aborted) << "only the time-out aborts";
    EXPECT_EQ((Lines{"rcvtimeo 5000", "linger 1 0", "rcvtimeo 5000", "rcvtimeo 5000"}),
              fake::Get().options);
    EXPECT_EQ(0, fake::Get().openHandles);
}

TEST_F(ForwarderTest, AcceptFailureIsSilentAndTheListenerGoesOn) {
    fake::Client failing;
    failing.acceptFails = true;
    failing.acceptError = WSAECONNRESET;
    fake::Get().clients.push_back(failing);
    // A connection reset while it waited in the queue, handed out with no peer address (Wine 10).
    AddClient({fake::Failure(WSAECONNRESET)});
    std::fill(fake::Get().clients[1].address, fake::Get().clients[1].address + 4, 0);
    AddClient({fake::Data("ok")});
    EXPECT_EQ(1, RunPrintListener(false));
    ASSERT_EQ(1u, Jobs().size());
    EXPECT_EQ("ok", Jobs()[0].Bytes());
    EXPECT_EQ(Lines{"Accept print job for HP from 127.0.0.1"}, LogLines());
    EXPECT_TRUE(ClientAt(1).closed) << "the vanished connection is closed";
}

TEST_F(ForwarderTest, ListenerFailuresOutsideTheService) {
    fake::Get().socketError = WSAEMFILE;
    EXPECT_EQ(0, RunPrintListener(false));
    EXPECT_EQ(Lines{"Error: no socket: 10024"}, LogLines());

    fake::Reset();
    ResetLog();
    fake::Get().bindError = WSAEADDRINUSE;
    EXPECT_EQ(0, RunPrintListener(false));
    EXPECT_EQ(Lines{"Error: couldn't bind: 10048"}, LogLines());
    EXPECT_EQ(1, fake::Get().closedListeners);

    fake::Reset();
    ResetLog();
    fake::Get().listenFailAt = 0;
    AddClient({fake::Data("never")});
    EXPECT_EQ(1, RunPrintListener(false));
    EXPECT_TRUE(LogLines().empty()) << "a listen failure is not logged";
    EXPECT_EQ(1, fake::Get().closedListeners);
    EXPECT_TRUE(fake::Get().statuses.empty());
}

TEST_F(ForwarderTest, LongPrinterNameCutsTheAcceptLineAndForwardingGoesOn) {
    // Rows: the name, the part of it the line shows. The address always stays; 219 bytes of room.
    std::string cyrillic;
    for (int i = 0; i < 120; i++)
        cyrillic += "\xd0\x9f"; // "П" in UTF-8
    const std::pair<std::string, std::string> rows[] = {
        {std::string(250, 'n'), std::string(219, 'n')},
        {cyrillic, cyrillic.substr(0, 218)}, // cut before a letter, never inside it
        {"Lab\r\nFerrolink stopped.", "Lab??Ferrolink stopped."},
    };
    for (const auto &[name, shown] : rows) {
        fake::Reset();
        ResetLog();
        fake::Get().printers = {name};
        SetPrinter(name);
        AddClient({fake::Data("data")});
        RunPrintListener(false);
        Lines lines = LogLines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("Accept print job for " + shown + " from 127.0.0.1", lines[0]);
        ASSERT_EQ(1u, Jobs().size());
        EXPECT_EQ("data", Jobs()[0].Bytes());
        EXPECT_EQ(name, Jobs()[0].printer) << "the printer gets the name unchanged";
    }
}

TEST_F(ForwarderTest, AdvertisesWhileListeningAsItsKeySaysAndOnlyThen) {
    const std::string dword1("\1\0\0\0", 4), dword0("\0\0\0\0", 4);
    const std::string type = "._pdl-datastream._tcp.local";
    const std::string accept = "Accept print job for HP from 127.0.0.1";
    const std::string host = "office-pc-front-desk"; // the DNS host name, not "OFFICE-PC"
    const std::string advertising = "Advertising \"HP @ " + host + "\" by DNS-SD";
    const std::string absent = "No DNS-SD on this system: not advertised";
    std::string longName;
    for (int i = 0; i < 40; i++)
        longName += "\xc3\xa9"; // "é": 80 bytes, cut to 31 letters (62 bytes)
    const Lines both = {"DnsServiceRegister", "DnsServiceDeRegister", "close listener",
                        "DnsServiceRegister", "DnsServiceDeRegister", "close listener"};
    const Lines none = {"close listener", "close listener"};
    const Lines cancelled = {"DnsServiceRegister", "DnsServiceRegisterCancel", "close listener",
                             "DnsServiceRegister", "DnsServiceRegisterCancel", "close listener"};
    const Lines once = {"DnsServiceRegister", "close listener", "DnsServiceRegister",
                        "close listener"};
    struct Row {
        const char *what;
        std::string advertise; // "Advertise" as REG_DWORD bytes; "" none, "sz" a REG_SZ "1"
        std::string name;      // "AdvertiseName"; "" none
        std::function<void()> script;
        std::string service; // registered service; "" none
        Lines lines;         // the log of two lives of the listener, one job each
        Lines calls;         // registrations, withdrawals and closes of the listener, in order
    };
    const Row rows[] = {
        {"off: no value", "", "Front", [] {}, "", {accept, accept}, none},
        {"off: 0", dword0, "Front", [] {}, "", {accept, accept}, none},
        {"off: not a number", "sz", "", [] {}, "", {accept, accept}, none},
        {"default name",
         dword1,
         "",
         [] {},
         "HP @ " + host + type,
         {advertising, accept, advertising, accept},
         both},
        // The withdrawal's completion of the first life comes after the second registration.
        {"its own name, a dot escaped, a control removed",
         dword1,
         "Floor 2.\t Desk",
         [] {},
         "Floor 2\\. Desk" + type,
         {"Advertising \"Floor 2. Desk\" by DNS-SD", accept,
          "Advertising \"Floor 2. Desk\" by DNS-SD", accept},
         both},
        {"a long name cut on a character",
         dword1,
         longName,
         [] {},
         longName.substr(0, 62) + type,
         {"Advertising \"" + longName.substr(0, 62) + "\" by DNS-SD", accept,
          "Advertising \"" + longName.substr(0, 62) + "\" by DNS-SD", accept},
         both},
        {"a long ASCII name cut at 63 bytes, not dropped",
         dword1,
         std::string(70, 'A'),
         [] {},
         std::string(63, 'A') + type,
         {"Advertising \"" + std::string(63, 'A') + "\" by DNS-SD", accept,
          "Advertising \"" + std::string(63, 'A') + "\" by DNS-SD", accept},
         both},
        {"renamed by the responder, a dot in the name",
         dword1,
         "Floor 2. Desk",
         [] { fake::Get().completedName = "Floor 2. Desk (2)"; },
         "Floor 2\\. Desk" + type,
         {"DNS-SD name taken, advertising \"Floor 2. Desk (2)\"", accept,
          "DNS-SD name taken, advertising \"Floor 2. Desk (2)\"", accept},
         both},
        {"refused at once, and not asked again",
         dword1,
         "",
         [] { fake::Get().registerResult = ERROR_INVALID_PARAMETER; },
         "HP @ " + host + type,
         {"Error: couldn't advertise: 87", accept, accept},
         {"DnsServiceRegister", "close listener", "close listener"}},
        {"refused by the responder",
         dword1,
         "",
         [] { fake::Get().completionStatus = 1460; },
         "HP @ " + host + type,
         {"Error: couldn't advertise: 1460", accept, "Error: couldn't advertise: 1460", accept},
         once},
        {"a stop before the registration completed",
         dword1,
         "",
         [] { fake::Get().dnssdHold = true; },
         "HP @ " + host + type,
         {accept, accept},
         cancelled},
        {"a completion after the stop",
         dword1,
         "",
         [] { fake::Get().dnssdHold = fake::Get().cancelIgnored = true; },
         "HP @ " + host + type,
         {accept, accept},
         cancelled},
        {"bidi controls, zero widths and a soft hyphen removed",
         dword1,
         "\xe2\x80\xae"
         "Desk\xe2\x80\xac\xe2\x80\x8b\xc2\xad 2\xef\xbb\xbf",
         [] {},
         "Desk 2" + type,
         {"Advertising \"Desk 2\" by DNS-SD", accept, "Advertising \"Desk 2\" by DNS-SD", accept},
         both},
        {"a blank name falls back to the default",
         dword1,
         "  \t \xe2\x80\x8f ",
         [] {},
         "HP @ " + host + type,
         {advertising, accept, advertising, accept},
         both},
        {"no dnsapi.dll",
         dword1,
         "",
         [] { fake::Get().dnsapiMissing = true; },
         "",
         {absent, accept, accept},
         none},
        {"a dnsapi.dll without the calls",
         dword1,
         "",
         [] { fake::Get().dnssdCallsMissing = true; },
         "",
         {absent, accept, accept},
         none},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ResetAdvertising();
        fake::Reset();
        ResetLog();
        fake::Get().printers = {"HP"};
        SetPrinter("HP");
        fake::Get().socketCallsAllowed = 2;
        if (row.advertise == "sz")
            fake::SetValue(ServiceKey(9100), "Advertise", REG_SZ, std::string("1\0", 2));
        else if (!row.advertise.empty())
            fake::SetValue(ServiceKey(9100), "Advertise", REG_DWORD, row.advertise);
        if (!row.name.empty())
            fake::SetValue(ServiceKey(9100), "AdvertiseName", REG_SZ, row.name + '\0');
        row.script();
        // Listening ends and starts again: the settings are read once, the advertisement
        // withdrawn before each close of the listener.
        for (int life = 0; life < 2; life++) {
            AddClient({fake::Data("job")});
            EXPECT_EQ(1, RunPrintListener(false));
        }
        fake::CompleteDnssd(); // the answers still to come: late, they log nothing
        EXPECT_EQ(row.lines, LogLines());
        Lines calls;
        for (const auto &event : fake::Get().events)
            if (event.rfind("DnsService", 0) == 0 || event == "close listener")
                calls.push_back(event);
        EXPECT_EQ(row.calls, calls);
        EXPECT_EQ(row.advertise == dword1 ? 1 : 0, fake::Get().libraryLoads);
        ASSERT_EQ(row.service.empty() ? 0u : 1u, fake::Get().registrations.size())
            << "one instance, built once";
        ASSERT_EQ(2u, Jobs().size() - (row.service.empty() ? 0 : 1)) << "the jobs, and the "
                                                                        "printer asked once";
        if (row.service.empty())
            continue;
        const fake::Registration &made = fake::Get().registrations[0];
        EXPECT_EQ(row.service, made.service);
        EXPECT_EQ(host + ".local", made.host);
        EXPECT_EQ(9100, made.port);
        EXPECT_EQ((Lines{"txtvers=1", "qtotal=1", "pdl=application/octet-stream", "ty=HP",
                         "product=(HP)", "usb_MFG=HP", "usb_MDL=HP"}),
                  made.txt);
        EXPECT_EQ(1, fake::Get().instancesLive) << "the responder's answers are freed";
    }
}

TEST_F(ForwarderTest, AdvertisementTellsTheMakeModelAndLocationTheSpoolerKnows) {
    const std::string tail = "._pdl-datastream._tcp.local";
    struct Row {
        const char *what;
        std::string printer, driver, location, maker; // driver "": the spooler knows nothing
        DWORD devModeSize;
        unsigned short port;
        std::string service;
        Lines txt;
    };
    const Row rows[] = {
        {"the driver's make and model, a port of its own",
         "HP",
         "HP LaserJet 4000 Series PS",
         "Room 12, \x1b[2Jsecond floor",
         "",
         0,
         9101,
         "HP @ office-pc-front-desk (9101)",
         {"txtvers=1", "qtotal=1", "pdl=application/postscript", "ty=HP LaserJet 4000 Series PS",
          "product=(HP LaserJet 4000 Series PS)", "usb_MFG=HP", "usb_MDL=LaserJet 4000 Series PS",
          "note=Room 12, [2Jsecond floor"}},
        {"the driver's manufacturer, on the default port",
         "HP",
         "KONICA MINOLTA bizhub C300 PCL",
         "",
         "KONICA MINOLTA",
         0,
         9100,
         "HP @ office-pc-front-desk",
         {"txtvers=1", "qtotal=1", "pdl=application/vnd.hp-PCL",
          "ty=KONICA MINOLTA bizhub C300 PCL", "product=(KONICA MINOLTA bizhub C300 PCL)",
          "usb_MFG=KONICA MINOLTA", "usb_MDL=bizhub C300 PCL"}},
        {"\"HP PSC\" is no PostScript",
         "HP",
         "HP PSC 1200",
         "",
         "",
         0,
         9100,
         "HP @ office-pc-front-desk",
         {"txtvers=1", "qtotal=1", "pdl=application/octet-stream", "ty=HP PSC 1200",
          "product=(HP PSC 1200)", "usb_MFG=HP", "usb_MDL=PSC 1200"}},
        {"a device mode larger than the first buffer",
         "HP",
         "Lab Writer PS",
         "",
         "",
         20000,
         9100,
         "HP @ office-pc-front-desk",
         {"txtvers=1", "qtotal=1", "pdl=application/postscript", "ty=Lab Writer PS",
          "product=(Lab Writer PS)", "usb_MFG=Lab", "usb_MDL=Writer PS"}},
        {"no name: no product=()",
         "",
         "",
         "",
         "",
         0,
         9100,
         "Ferrolink 9100 @ office-pc-front-desk",
         {"txtvers=1", "qtotal=1", "pdl=application/octet-stream"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ResetAdvertising();
        fake::Reset();
        fake::SetValue(ServiceKey(row.port), "Advertise", REG_DWORD, std::string("\7\0\0\0", 4));
        fake::SetValue(ServiceKey(row.port), "Printer", REG_SZ, row.printer + '\0');
        if (!row.driver.empty())
            fake::Get().printerDetails["HP"] = {row.driver, row.location};
        if (!row.maker.empty())
            fake::Get().driverMakers["HP"] = row.maker;
        fake::Get().devModeSize = row.devModeSize;
        fake::Get().printers = {"HP"};
        ListenPort = row.port;
        FormatBounded(InstanceName, sizeof InstanceName, "KVFerrolink_%d", (int)row.port);
        AddClient({fake::Data("job")});
        RunPrintListener(false);
        ASSERT_EQ(1u, fake::Get().registrations.size());
        EXPECT_EQ(row.port, fake::Get().registrations[0].port);
        EXPECT_EQ(row.service + tail, fake::Get().registrations[0].service);
        EXPECT_EQ(row.txt, fake::Get().registrations[0].txt);
        EXPECT_EQ(0, fake::Get().openHandles) << "the printer asked is closed again";
    }
}

// Service host: status reports, controls, listener failures and the configuration it reads.

#include "fakes/test_support.h"

using Lines = std::vector<std::string>;

class ServiceHostTest : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        fake::Get().printers = {"HP"};
        fake::SetValue(ServiceKey(9100), "Printer", REG_SZ, std::string("HP\0", 3));
    }
    // Runs the service process for a port, as the service manager would start it.
    int RunService(int port = 9100) {
        return Run({"C:\\relay\\ferrolink.exe", "PRIVATE_SERVICE", std::to_string(port)});
    }
    // The statuses reported before the dispatcher returned.
    static std::vector<SERVICE_STATUS> Reported() {
        const auto &all = fake::Get().statuses;
        return std::vector<SERVICE_STATUS>(all.begin(), all.begin() + fake::Get().statusesAtReturn);
    }
    static Lines Prefix() {
        return {"KVFerrolink 1.0", "Ferrolink starting...", "HP on 9100 (9100)"};
    }
};

TEST_F(ServiceHostTest, StopOrShutdownWhileWaitingInAcceptStopsWithExitCodeZero) {
    for (DWORD control : {DWORD(SERVICE_CONTROL_STOP), DWORD(SERVICE_CONTROL_SHUTDOWN)}) {
        fake::Reset();
        fake::Get().printers = {"HP"};
        fake::SetValue(ServiceKey(9100), "Printer", REG_SZ, std::string("HP\0", 3));
        fake::Get().blockWhenIdle = true;
        fake::Get().controls = {control};
        EXPECT_EQ(0, RunService());
        auto statuses = Reported();
        ASSERT_EQ(2u, statuses.size());
        const SERVICE_STATUS &running = statuses[0];
        EXPECT_EQ(0x30u, running.dwServiceType);
        EXPECT_EQ(DWORD(SERVICE_RUNNING), running.dwCurrentState);
        EXPECT_EQ(5u, running.dwControlsAccepted);
        EXPECT_EQ(1u, running.dwWin32ExitCode);
        EXPECT_EQ(0u, running.dwServiceSpecificExitCode);
        EXPECT_EQ(0u, running.dwCheckPoint);
        EXPECT_EQ(0u, running.dwWaitHint);
        EXPECT_EQ(DWORD(SERVICE_STOPPED), statuses[1].dwCurrentState);
        EXPECT_EQ(0u, statuses[1].dwWin32ExitCode);
        EXPECT_EQ(0x30u, statuses[1].dwServiceType);
        for (auto handle : fake::Get().statusHandles)
            EXPECT_EQ((SERVICE_STATUS_HANDLE)(uintptr_t)0x55, handle);
        Lines expected = Prefix();
        expected.insert(expected.end(), {"Ferrolink stopped.", "Ferrolink exit"});
        EXPECT_EQ(expected, LogLines());
    }
}

TEST_F(ServiceHostTest, InterrogationReportsAndChangesNothing) {
    fake::Get().blockWhenIdle = true;
    fake::Get().controls = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP};
    RunService();
    auto statuses = Reported();
    ASSERT_EQ(3u, statuses.size());
    EXPECT_EQ(DWORD(SERVICE_RUNNING), statuses[1].dwCurrentState);
    EXPECT_EQ(1u, statuses[1].dwWin32ExitCode);
    EXPECT_EQ(DWORD(SERVICE_STOPPED), statuses[2].dwCurrentState);
}

TEST_F(ServiceHostTest, ListenerFailuresStopTheServiceWithTheirExitCodes) {
    struct Case {
        const char *what;
        int socketError, bindError, listenFailAt;
        DWORD exitCode;
        const char *line;
        std::vector<std::string> order; // status report relative to closing the listener
    };
    const Case cases[] = {
        {"socket", WSAEMFILE, 0, -1, 3, "Error: no socket: 10024", {"SetServiceStatus 1"}},
        {"bind",
         0,
         WSAEADDRINUSE,
         -1,
         4,
         "Error: couldn't bind: 10048",
         {"close listener", "SetServiceStatus 1"}},
        {"listen", 0, 0, 0, 5, nullptr, {"SetServiceStatus 1", "close listener"}},
    };
    for (const Case &c : cases) {
        fake::Reset();
        fake::SetValue(ServiceKey(9100), "Printer", REG_SZ, std::string("HP\0", 3));
        fake::Get().socketError = c.socketError;
        fake::Get().bindError = c.bindError;
        fake::Get().listenFailAt = c.listenFailAt;
        EXPECT_EQ(0, RunService()) << c.what;
        auto statuses = Reported();
        ASSERT_EQ(2u, statuses.size()) << c.what;
        EXPECT_EQ(DWORD(SERVICE_STOPPED), statuses[1].dwCurrentState) << c.what;
        EXPECT_EQ(c.exitCode, statuses[1].dwWin32ExitCode) << c.what;
        Lines expected = Prefix();
        if (c.line)
            expected.push_back(c.line);
        expected.push_back("Ferrolink exit");
        EXPECT_EQ(expected, LogLines()) << c.what;
        std::vector<std::string> tail;
        for (const auto &event : fake::Get().events)
            if (event == "close listener" || event == "SetServiceStatus 1")
                tail.push_back(event);
        EXPECT_EQ(c.order, tail) << c.what;
        EXPECT_EQ(1, fake::Get().socketCalls) << "the listener is not restarted";
    }
}

TEST_F(ServiceHostTest, HandlerThatCannotBeRegisteredIsLoggedAndNothingIsReported) {
    fake::Get().registerError = ERROR_SERVICE_DOES_NOT_EXIST;
    EXPECT_EQ(0, RunService());
    EXPECT_TRUE(fake::Get().statuses.empty());
    EXPECT_EQ((Lines{"KVFerrolink 1.0", "Ferrolink starting...",
                     "Registering Control Handler failed 1060", "Ferrolink exit"}),
              LogLines());
    EXPECT_EQ(0, fake::Get().socketCalls);
}

TEST_F(ServiceHostTest, PortValueInTheKeyOverridesTheCommandLine) {
    fake::SetValue(ServiceKey(9100), "Port", REG_DWORD, std::string("\x91\x23\0\0", 4)); // 9105
    fake::Get().blockWhenIdle = true;
    fake::Get().controls = {SERVICE_CONTROL_STOP};
    RunService(9100);
    EXPECT_EQ(htons(9105), fake::Get().boundPort);
    Lines lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("HP on 9105 (9100)", lines[2]);
    EXPECT_EQ("dispatch KVFerrolink_9100", fake::Get().events.at(0));
}

TEST_F(ServiceHostTest, ServiceRelaysJobsToThePrinterOfItsOwnKey) {
    fake::Client client;
    client.steps = {fake::Data("job through the service")};
    fake::Get().clients = {client};
    fake::Get().blockWhenIdle = true;
    fake::Get().controls = {SERVICE_CONTROL_STOP};
    RunService();
    ASSERT_EQ(1u, fake::Get().jobs.size());
    EXPECT_EQ("HP", fake::Get().jobs[0].printer);
    EXPECT_EQ("job through the service", fake::Get().jobs[0].Bytes());
    EXPECT_EQ("Accept print job for HP from 127.0.0.1", LogLines().at(3));
}

TEST_F(ServiceHostTest, MissingConfigurationShowsAnEmptyPrinterAndTheCommandLinePort) {
    fake::Get().registry.clear();
    fake::Get().listenFailAt = 0;
    RunService(9102);
    EXPECT_EQ(" on 9102 (9102)", LogLines().at(2));

    // A name that would forge a line, or fill it: the ports stay whole.
    const std::pair<std::string, std::string> rows[] = {
        {"HP\r\nFerrolink stopped.", "HP??Ferrolink stopped. on 9102 (9102)"},
        {std::string(300, 'n').substr(0, 255), std::string(240, 'n') + " on 9102 (9102)"},
    };
    for (const auto &[name, line] : rows) {
        fake::Reset();
        fake::SetValue(ServiceKey(9102), "Printer", REG_SZ, name + '\0');
        fake::Get().listenFailAt = 0;
        RunService(9102);
        EXPECT_EQ(line, LogLines().at(2));
    }
}

TEST_F(ServiceHostTest, ServiceAdvertisesWhileItListensAndWithdrawsAtItsStop) {
    fake::SetValue(ServiceKey(9100), "Advertise", REG_DWORD, std::string("\1\0\0\0", 4));
    fake::SetValue(ServiceKey(9100), "AdvertiseName", REG_SZ, std::string("Front desk\0", 11));
    fake::Get().blockWhenIdle = true;
    fake::Get().controls = {SERVICE_CONTROL_STOP};
    RunService();
    Lines expected = Prefix();
    expected.insert(expected.end(), {"Advertising \"Front desk\" by DNS-SD", "Ferrolink stopped.",
                                     "Ferrolink exit"});
    EXPECT_EQ(expected, LogLines());
    std::vector<std::string> order;
    for (const auto &event : fake::Get().events)
        if (event.rfind("DnsService", 0) == 0 || event.rfind("SetServiceStatus", 0) == 0)
            order.push_back(event);
    // Withdrawn once, before the stop is reported; the last report is the listener's, once the
    // double wakes the abandoned thread.
    EXPECT_EQ((Lines{"SetServiceStatus 4", "DnsServiceRegister", "DnsServiceDeRegister",
                     "SetServiceStatus 1", "SetServiceStatus 1"}),
              order);

    // A stop before the registration completed cancels it; its completion, later, logs nothing.
    fake::Reset();
    fake::Get().printers = {"HP"};
    fake::SetValue(ServiceKey(9100), "Printer", REG_SZ, std::string("HP\0", 3));
    fake::SetValue(ServiceKey(9100), "Advertise", REG_DWORD, std::string("\1\0\0\0", 4));
    fake::Get().dnssdHold = fake::Get().cancelIgnored = true;
    fake::Get().blockWhenIdle = true;
    fake::Get().controls = {SERVICE_CONTROL_STOP};
    RunService();
    int live = fake::Get().instancesLive;
    fake::CompleteDnssd();
    expected = Prefix();
    expected.insert(expected.end(), {"Ferrolink stopped.", "Ferrolink exit"});
    EXPECT_EQ(expected, LogLines());
    EXPECT_EQ(live, fake::Get().instancesLive) << "the late completion's copy is freed";
    EXPECT_EQ(0, fake::Get().deregistrations) << "cancelled, not deregistered";

    // Without the system's DNS-SD the service says so once and serves as before.
    fake::Reset();
    fake::Get().printers = {"HP"};
    fake::SetValue(ServiceKey(9100), "Printer", REG_SZ, std::string("HP\0", 3));
    fake::SetValue(ServiceKey(9100), "Advertise", REG_DWORD, std::string("\1\0\0\0", 4));
    fake::Get().dnsapiMissing = true;
    fake::Get().blockWhenIdle = true;
    fake::Get().controls = {SERVICE_CONTROL_STOP};
    EXPECT_EQ(0, RunService());
    expected = Prefix();
    expected.insert(expected.end(), {"No DNS-SD on this system: not advertised",
                                     "Ferrolink stopped.", "Ferrolink exit"});
    EXPECT_EQ(expected, LogLines());
    EXPECT_EQ(DWORD(SERVICE_STOPPED), Reported().back().dwCurrentState);
}

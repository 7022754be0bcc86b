// Shared fixture for tests of the system against the platform double.

#include "fakes/test_support.h"

#include "advertise/advertise.h"

#include <cstdlib>
#include <fstream>
#include <unistd.h>

void SystemTest::SetUp() {
    char cwd[4096];
    previous_ = getcwd(cwd, sizeof cwd);
    char pattern[] = "/tmp/ferrolink-test-XXXXXX";
    directory_ = mkdtemp(pattern);
    ASSERT_EQ(0, chdir(directory_.c_str()));
    ResetAdvertising(); // gives back an earlier test's instance before the double forgets it
    fake::Reset();
    ListenPort = 9100;
    RequestedPort = 9100;
    InstanceName[0] = '\0';
    PrinterName[0] = '\0';
    ConfigKeyTemplate = ServiceKeyTemplate;
}

void SystemTest::TearDown() {
    ASSERT_EQ(0, chdir(previous_.c_str()));
    std::string command = "rm -rf '" + directory_ + "'";
    ASSERT_EQ(0, system(command.c_str()));
}

int SystemTest::Run(std::vector<std::string> arguments) {
    std::vector<char *> vector;
    for (auto &argument : arguments)
        vector.push_back(argument.data());
    vector.push_back(nullptr);
    // Each run is a fresh process.
    SetPendingInstanceConfig(nullptr, 0);
    ConfigKeyTemplate = ServiceKeyTemplate;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = FerrolinkMain((int)arguments.size(), vector.data());
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return status;
}

std::vector<std::string> SystemTest::LogLines() const {
    std::ifstream log("Ferrolink.log");
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(log, line))
        lines.push_back(line);
    return lines;
}

std::string VendorKey(int port) {
    return "SOFTWARE\\Korvanta\\KVFerrolink\\KVFerrolink_" + std::to_string(port);
}

std::string ServiceKey(int port) {
    return "System\\CurrentControlSet\\Services\\KVFerrolink_" + std::to_string(port);
}

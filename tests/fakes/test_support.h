// Shared fixture for tests of the system against the platform double: a fresh working directory
// for the log, a reset double and reset process-wide state.
#pragma once

#include "fakes/fake_platform.h"

#include "app/app.h"
#include "common/common.h"
#include "config/config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class SystemTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the program's entry with these arguments; keeps what it printed.
    int Run(std::vector<std::string> arguments);

    // The log file's lines, without their line ends.
    std::vector<std::string> LogLines() const;

    std::string out, err;

  private:
    std::string directory_, previous_;
};

// The vendor key path of the console instance for a port.
std::string VendorKey(int port);

// The service's own key path for a port.
std::string ServiceKey(int port);

// Fuzz target: the command-line front end. The input is an argument vector (arguments separated
// by NUL bytes); the platform double makes every mode's action end at once. Checks that the exit
// status, the port and the instance name always agree with each other.

#include "fakes/fake_platform.h"

#include "app/app.h"
#include "common/common.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Makes every mode's action return at once and keeps the log in memory-free silence.
static void PrepareQuietPlatform() {
    fake::Reset();
    fake::Get().logBusy = true;
    fake::Get().socketError = WSAENOBUFS;
    fake::Get().managerError = ERROR_ACCESS_DENIED;
    fake::Get().dispatcherError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> arguments;
    std::string current;
    for (size_t i = 0; i < size && arguments.size() < 16; i++) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += char(data[i]);
        }
    }
    if (size > 0 && arguments.size() < 16)
        arguments.push_back(current);
    std::vector<char *> vector;
    for (auto &argument : arguments)
        vector.push_back(argument.data());
    vector.push_back(nullptr);

    PrepareQuietPlatform();
    InstanceName[0] = '\0';
    int status = FerrolinkMain((int)arguments.size(), vector.data());
    if (status != 0 && status != 1)
        __builtin_trap();
    if (status == 0) {
        char expected[INSTANCE_NAME_SIZE];
        snprintf(expected, sizeof expected, "KVFerrolink_%d", ListenPort);
        if (strcmp(expected, InstanceName) != 0 || RequestedPort != ListenPort)
            __builtin_trap();
        if (ListenPort == 0 && arguments.size() < 3)
            __builtin_trap(); // port 0 only from an explicit argument of 65536 and the like
        bool relays = _stricmp(vector[1], "INSTALL") == 0 ||
                      _stricmp(vector[1], "STANDALONE") == 0 ||
                      _stricmp(vector[1], "BACKGROUND") == 0;
        if (ListenPort == 0 && relays)
            __builtin_trap(); // only REMOVE and the service process may address port 0
    }
    return 0;
}

// Service installation and removal: the INSTALL and REMOVE commands, which talk to the user on
// standard output and always leave the exit status at 0.

#include "service/service.h"

#include "common/common.h"
#include "config/config.h"

// Formats the service's command line with the program's full path as the system reports it, so
// the service manager can start it whatever the user typed; argument 0 is the fallback.
static void BuildServiceCommandLine(char *buffer, size_t capacity, const char *programPath,
                                    unsigned int port) {
    char modulePath[PATH_BUFFER_SIZE];
    DWORD length = GetModuleFileNameA(NULL, modulePath, sizeof modulePath);
    if (length > 0 && length < sizeof modulePath)
        programPath = modulePath;
    FormatBounded(buffer, capacity, "\"%s\" PRIVATE_SERVICE %d", programPath, (int)port);
}

// Starts the new service; a failure is reported and installation goes on.
static void StartNewService(SC_HANDLE service) {
    if (StartServiceA(service, 0, NULL))
        ConsolePrint("Service started.\n");
    else
        ConsolePrint("Error starting Service: %d, please do it by hand.\n", (int)GetLastError());
}

// Creates the service, starts it and writes its configuration into the service's own key.
void InstallService(const char *programPath, const char *printerName, unsigned int port) {
    char commandLine[PATH_BUFFER_SIZE];
    BuildServiceCommandLine(commandLine, sizeof commandLine, programPath, port);
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        ConsolePrint("Error: ServiceManager %d\n", (int)GetLastError());
        return;
    }
    SC_HANDLE service = CreateServiceA(
        manager, InstanceName, InstanceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine, NULL, NULL, NULL, NULL, NULL);
    if (service == NULL) {
        ConsolePrint("Error: CreateService %d\n", (int)GetLastError());
        CloseServiceHandle(manager);
        return;
    }
    ConsolePrint("CreateService SUCCESS.\n");
    StartNewService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    // Written after creation: creating a service may drop values already in its key.
    WriteInstanceConfig(printerName, port);
}

// Stops the service; returns false when it could not be stopped and must not be deleted.
static bool StopService(SC_HANDLE service) {
    SERVICE_STATUS status;
    BOOL stopped = ControlService(service, SERVICE_CONTROL_STOP, &status);
    // The service's process ends as soon as it reports stopped, and may break the pipe that
    // carried the stop before the answer is back (Wine). Asked again, a stopped service answers
    // "not active"; one still running gets the stop once more.
    if (!stopped && GetLastError() == ERROR_BROKEN_PIPE)
        stopped = ControlService(service, SERVICE_CONTROL_STOP, &status) ||
                  GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    if (stopped) {
        ConsolePrint("Server stopped.\n");
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_NOT_ACTIVE)
        return true;
    ConsolePrint("Error stopping Service: %d, please do it by hand.\n", (int)error);
    return false;
}

// Stops and deletes the service of this instance.
void RemoveService(void) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        ConsolePrint("Error: ServiceManager %d\n", (int)GetLastError());
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, InstanceName, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        ConsolePrint("Error: OpenService (%s) %d\n", InstanceName, (int)GetLastError());
        CloseServiceHandle(manager);
        return;
    }
    if (StopService(service)) {
        if (DeleteService(service))
            ConsolePrint("DeleteService SUCCESS\n");
        else
            ConsolePrint("Error: DeleteService %d\n", (int)GetLastError());
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// Service host: the dispatcher, the service's entry on its own thread, and the control handler
// on the main thread.
//
// A stop only reports the service stopped: the dispatcher then returns on the main thread and the
// process ends, taking the service thread (blocked in accept or in a receive) with it.

#include "service/service.h"

#include "advertise/advertise.h"
#include "common/common.h"
#include "config/config.h"
#include "forwarder/forwarder.h"

// Answers the service manager's controls; stop and shutdown end the service.
static void WINAPI ServiceControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        EndAdvertising(); // first: no advertising line follows the stop's
        LogLine("Ferrolink stopped.");
        ReportServiceStatus(SERVICE_STOPPED, 0);
        return;
    }
    ReportCurrentServiceStatus();
}

// Logs the start line: printer, port listened on, and the command line's port in brackets; a
// name too long for the line is cut, never the ports.
static void LogServiceStart(void) {
    char tail[32];
    char line[LINE_BUFFER_SIZE];
    FormatBounded(tail, sizeof tail, " on %d (%d)", ListenPort, RequestedPort);
    FormatNameLine(line, sizeof line, "", PrinterName, tail);
    LogLine(line);
}

// The service's entry: reports running, reads its configuration and runs the forwarder.
static void WINAPI ServiceMain(DWORD argumentCount, LPSTR *arguments) {
    (void)argumentCount;
    (void)arguments;
    InitServiceStatus();
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(InstanceName, ServiceControlHandler);
    if (handle == NULL) {
        char line[LINE_BUFFER_SIZE];
        FormatBounded(line, sizeof line, "Registering Control Handler failed %d",
                      (int)GetLastError());
        LogLine(line);
        return;
    }
    SetStatusHandle(handle);
    // The first report: the service counts as running before its socket is open.
    ReportServiceStatus(SERVICE_RUNNING, 1);
    NetworkStartup();
    ReadInstanceConfig(true);
    LogServiceStart();
    // Every return of the listener in the service follows a stopped report.
    while (ServiceIsRunning()) {
        if (RunPrintListener(true) == 0)
            break;
    }
    NetworkCleanup();
}

// Runs the dispatcher with this instance's one service.
void RunServiceDispatcher(void) {
    SERVICE_TABLE_ENTRYA table[] = {
        {InstanceName, ServiceMain},
        {NULL, NULL},
    };
    StartServiceCtrlDispatcherA(table);
}

// The service status record: the one place that changes it and reports it to the service manager.
//
// The control handler (main thread) and the service thread both change and report the record, so
// every access takes StatusLock and each report passes a consistent copy.

#include "common/common.h"

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE StatusHandle;

static SRWLOCK StatusLock = SRWLOCK_INIT;
static DWORD RelayFailure;

// Passes a copy of the whole record to the service manager; StatusLock is held.
static void SendStatusLocked(void) {
    SERVICE_STATUS report = ServiceStatus;
    SetServiceStatus(StatusHandle, &report);
}

// Fills the record with the values the service starts with.
void InitServiceStatus(void) {
    AcquireSRWLockExclusive(&StatusLock);
    ServiceStatus.dwServiceType = SERVICE_WIN32;
    ServiceStatus.dwCurrentState = SERVICE_START_PENDING;
    ServiceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    ServiceStatus.dwWin32ExitCode = 1;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;
    ReleaseSRWLockExclusive(&StatusLock);
}

// Keeps the status handle returned by the handler's registration.
void SetStatusHandle(SERVICE_STATUS_HANDLE handle) {
    AcquireSRWLockExclusive(&StatusLock);
    StatusHandle = handle;
    ReleaseSRWLockExclusive(&StatusLock);
}

// Sets state and exit code and reports the whole record.
void ReportServiceStatus(DWORD state, DWORD exitCode) {
    AcquireSRWLockExclusive(&StatusLock);
    ServiceStatus.dwCurrentState = state;
    ServiceStatus.dwWin32ExitCode = exitCode;
    SendStatusLocked();
    ReleaseSRWLockExclusive(&StatusLock);
}

// Reports the record unchanged.
void ReportCurrentServiceStatus(void) {
    AcquireSRWLockExclusive(&StatusLock);
    SendStatusLocked();
    ReleaseSRWLockExclusive(&StatusLock);
}

// Reports the service stopped; used by the forwarder when its listening socket fails.
void ReportServiceStopped(DWORD exitCode) {
    ReportServiceStatus(SERVICE_STOPPED, exitCode);
}

// Tells whether the service still counts as running.
bool ServiceIsRunning(void) {
    AcquireSRWLockExclusive(&StatusLock);
    bool running = ServiceStatus.dwCurrentState == SERVICE_RUNNING;
    ReleaseSRWLockExclusive(&StatusLock);
    return running;
}

// Keeps the stop code of the relay's latest failure for the exit status.
void NoteRelayFailure(DWORD exitCode) {
    RelayFailure = exitCode;
}

// The platform decides: Windows keeps status 0 after a reported failure, Linux passes the code on.
int RelayExitStatus(void) {
    return HostExitStatus(RelayFailure);
}

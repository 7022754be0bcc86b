// Host layer: the service manager, absent on Linux. Its calls fail with
// ERROR_CALL_NOT_IMPLEMENTED; the dispatcher fails at once with 1063, as it does on Windows for
// a process the service manager did not start.

#include "win32.h"

#include "host_internal.h"

// Fails a call that needs the service manager.
static BOOL NoServiceManager(void) {
    SetHostError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    NoServiceManager();
    return NULL;
}

SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR,
                         LPDWORD, LPCSTR, LPCSTR, LPCSTR) {
    NoServiceManager();
    return NULL;
}

SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
    NoServiceManager();
    return NULL;
}

BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR *) {
    return NoServiceManager();
}

BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
    return NoServiceManager();
}

BOOL DeleteService(SC_HANDLE) {
    return NoServiceManager();
}

BOOL CloseServiceHandle(SC_HANDLE) {
    return NoServiceManager();
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *) {
    SetHostError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION) {
    NoServiceManager();
    return NULL;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) {
    return NoServiceManager();
}

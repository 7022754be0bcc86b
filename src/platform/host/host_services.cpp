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

// Opens no service manager: INSTALL and REMOVE fail here, as Linux has none.
SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
    NoServiceManager();
    return NULL;
}

// Registers nothing: systemd units, not services, run the relay on Linux.
SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR, LPCSTR,
                         LPDWORD, LPCSTR, LPCSTR, LPCSTR) {
    NoServiceManager();
    return NULL;
}

// Finds no service: none can have been installed here.
SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
    NoServiceManager();
    return NULL;
}

// Starts nothing; a unit is started with systemctl instead.
BOOL StartServiceA(SC_HANDLE, DWORD, LPCSTR *) {
    return NoServiceManager();
}

// Sends no stop or other control: there is no service to receive it.
BOOL ControlService(SC_HANDLE, DWORD, LPSERVICE_STATUS) {
    return NoServiceManager();
}

// Removes nothing, as nothing was registered.
BOOL DeleteService(SC_HANDLE) {
    return NoServiceManager();
}

// Closes nothing: no call here ever hands out a handle.
BOOL CloseServiceHandle(SC_HANDLE) {
    return NoServiceManager();
}

// Fails as Windows does for a process the service manager did not start.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *) {
    SetHostError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
}

// Registers no control handler: no stop request can ever arrive through it.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION) {
    NoServiceManager();
    return NULL;
}

// Reports the state to no one; the relay runs on whether or not it is heard.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) {
    return NoServiceManager();
}

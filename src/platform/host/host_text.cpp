// Host layer: code pages, the wide command line and wide registry reads.
//
// Text on Linux is UTF-8 throughout: the active code page is UTF-8, so the ANSI arguments are
// exactly what was typed. The wide calls, which the system makes only under another code page,
// are therefore not offered and fail with ERROR_CALL_NOT_IMPLEMENTED.

#include "win32.h"

#include "host_internal.h"

// Reports UTF-8 as the active code page.
UINT GetACP(void) {
    return CP_UTF8;
}

// Tells whether a byte opens a two-byte character: UTF-8 has no such lead bytes.
BOOL IsDBCSLeadByte(BYTE) {
    return FALSE;
}

// No wide command line is kept.
LPWSTR GetCommandLineW(void) {
    SetHostError(ERROR_CALL_NOT_IMPLEMENTED);
    return NULL;
}

// Splits no wide command line.
LPWSTR *CommandLineToArgvW(LPCWSTR, int *count) {
    if (count != NULL)
        *count = 0;
    SetHostError(ERROR_CALL_NOT_IMPLEMENTED);
    return NULL;
}

// Converts no wide text.
int WideCharToMultiByte(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, BOOL *) {
    SetHostError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

// Frees nothing: this layer hands out no local memory.
HLOCAL LocalFree(HLOCAL) {
    return NULL;
}

// Reads no wide registry value.
LSTATUS RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}

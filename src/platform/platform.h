// The seam between Ferrolink and the operating system.
//
// The system calls the platform by its Windows names (ANSI forms only). On Windows these are the
// system headers themselves; on Linux they come from our own host layer, which declares the same
// subset with the same names, types, constants and error numbers.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <winspool.h>
#include <windns.h>
#include <share.h>
#include <stdio.h>

// A console run ends with status 0 on Windows, even after a reported failure.
static inline int HostExitStatus(DWORD) {
    return 0;
}
#else
#include "host/win32.h"
#endif

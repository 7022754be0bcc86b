// The seam between Ferrolink and the operating system.
//
// The system calls the platform by its Windows names (ANSI forms only). On Windows these are the
// system headers themselves; on Linux they come from our own host layer, which declares the same
// subset with the same names, types, constants and error numbers.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
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

// Windows hands a service no settings outside its key.
enum HandedSetting { HANDED_ADVERTISE, HANDED_ADVERTISE_NAME, HANDED_IPV6, HANDED_IDLE_TIMEOUT };
static inline bool ReadHandedSetting(HandedSetting, char *, size_t) {
    return false;
}

// Names an IPv6 scope as Windows's own tools do: by the interface's number.
static inline void HostScopeName(unsigned long scope, char *buffer, size_t capacity) {
    snprintf(buffer, capacity, "%lu", scope);
}

// Windows's service manager needs nothing of the listener between two jobs.
static inline void HostBetweenJobs(SOCKET, const char *, void (*)(const char *)) {}
#else
#include "host/win32.h"
#endif

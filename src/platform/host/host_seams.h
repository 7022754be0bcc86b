// Host layer: the calls the system makes that are no Windows calls, with plain types so that the
// Linux parts behind them need not see the Windows declarations. On Windows, platform.h defines
// them to do nothing; on Linux, src/linux/systemd answers them.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The settings that a service manager's start may hand an instance in place of its key's values.
enum HandedSetting {
    HANDED_ADVERTISE,      // "1" on, "0" off: the key's "Advertise"
    HANDED_ADVERTISE_NAME, // the key's "AdvertiseName"
    HANDED_IPV6,           // "1" dual-stack, "0" IPv4 only: the key's "IPv6"
    HANDED_IDLE_TIMEOUT,   // seconds, "0" none: the key's "IdleTimeout"
};

// Fills buffer with the setting the start handed ("" when it does not fit); false when it handed
// none, and the key's value counts.
bool ReadHandedSetting(HandedSetting setting, char *buffer, size_t capacity);

// Names an IPv6 address's scope (a link-local client's interface) for the lines that show it.
void HostScopeName(unsigned long scope, char *buffer, size_t capacity);

// The system's one writer of its log file (LogLine), handed to the platform for its own lines.
typedef void (*HostLogWriter)(const char *line);

// The service's life between two jobs, called by the listener before each accept: on Linux it
// tells systemd the relay serves printer's queue, sends the jobs an earlier run held (their log
// lines written by log), waits for the next client and ends the relay for a stop once the clients
// queued at the stop are served. It returns once a client waits to be accepted (or the wait
// failed).
void HostBetweenJobs(uintptr_t listener, const char *printer, HostLogWriter log);

// Instance configuration: the registry key of one instance and the operations that write and
// read it. The only place that touches the registry.
#pragma once

#include "platform/platform.h"

#include <stddef.h>

// Key path templates under HKEY_LOCAL_MACHINE, each formatted with the instance name.
extern const char ServiceKeyTemplate[];
extern const char VendorKeyTemplate[];

// The template in force: the service's own key unless a console mode chose the vendor key.
extern const char *ConfigKeyTemplate;

// Formats the instance's key path from the template in force.
void BuildConfigKeyPath(char *buffer, size_t capacity);

// Creates or opens the instance key and sets "Description", "Printer" and "Port"; returns
// ERROR_SUCCESS, or the error number of the first registry call that failed.
LONG WriteInstanceConfig(const char *printerName, unsigned int port);

// Keeps a console instance's configuration to be written once its listener holds the port.
void SetPendingInstanceConfig(const char *printerName, unsigned int port);

// The printer a console run was started for (its argument); "" in a service.
const char *ConsolePrinterName(void);

// Writes the pending configuration, if any, and forgets it: the listener calls it once it listens.
// Returns ERROR_SUCCESS, or the registry's error number when the configuration is not in place.
LONG WritePendingInstanceConfig(void);

// Reads whether the instance key turns advertising on ("Advertise", a REG_DWORD other than 0) and
// the service name it gives ("AdvertiseName", text; "" when missing, not text, too long for the
// buffer or not exactly what is stored). A key that cannot be opened turns it off. A setting the
// platform's service manager handed the instance (on Linux, from its conf) takes a value's place.
bool ReadAdvertiseSettings(char *name, size_t capacity);

// The listener's settings: "IPv6" (a REG_DWORD other than 0: a dual-stack socket) and
// "IdleTimeout" (a REG_DWORD of seconds; 0 or missing: none). A setting the platform's service
// manager handed the instance takes a value's place.
struct ListenerSettings {
    bool ipv6;
    DWORD idleSeconds;
};
void ReadListenerSettings(ListenerSettings *settings);

// Refreshes PrinterName, and with includePort also ListenPort, from the instance key. A "Printer"
// that cannot be read whole, as text, leaves PrinterName empty.
void ReadInstanceConfig(bool includePort);

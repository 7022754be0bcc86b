// Instance configuration store: one registry key per instance under HKEY_LOCAL_MACHINE.
//
// Failures are silent by design: their effects show later as an empty or stale printer name, or
// as a service listening on the port of its command line.

#include "config/config.h"

#include "common/common.h"

#include <string.h>

const char ServiceKeyTemplate[] = "System\\CurrentControlSet\\Services\\%s";
const char VendorKeyTemplate[] = "SOFTWARE\\Korvanta\\KVFerrolink\\%s";
const char *ConfigKeyTemplate = ServiceKeyTemplate;

static const char DescriptionText[] = "Routes all traffic from port 910x to a local printer";

// A console instance's configuration, held back until its port is held: a run that cannot bind
// must not redirect the relay already serving that port. The name is the process's argument.
static const char *PendingPrinter;
static unsigned int PendingPort;

// Formats the key path of this instance.
void BuildConfigKeyPath(char *buffer, size_t capacity) {
    FormatBounded(buffer, capacity, ConfigKeyTemplate, InstanceName);
}

// Writes the instance's three values, creating the key and its parents when missing.
void WriteInstanceConfig(const char *printerName, unsigned int port) {
    char path[PATH_BUFFER_SIZE];
    HKEY key;
    BuildConfigKeyPath(path, sizeof path);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, (LPSTR) "", REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    DWORD portValue = port;
    RegSetValueExA(key, "Description", 0, REG_SZ, (const BYTE *)DescriptionText,
                   sizeof DescriptionText);
    RegSetValueExA(key, "Printer", 0, REG_SZ, (const BYTE *)printerName,
                   (DWORD)strlen(printerName) + 1);
    RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE *)&portValue, sizeof portValue);
    RegCloseKey(key);
}

// Remembers the configuration that the listener writes once it holds the port.
void SetPendingInstanceConfig(const char *printerName, unsigned int port) {
    PendingPrinter = printerName;
    PendingPort = port;
}

// Writes the pending configuration once; later binds of the same run leave the key alone.
void WritePendingInstanceConfig(void) {
    if (PendingPrinter == NULL)
        return;
    WriteInstanceConfig(PendingPrinter, PendingPort);
    PendingPrinter = NULL;
}

// Tells whether a name read through the ANSI call is exactly the stored one: always under a UTF-8
// active code page, else only when it matches the value read again in its wide form.
static bool StoredNameIsExact(HKEY key, const char *name) {
    static const WCHAR valueName[] = {'P', 'r', 'i', 'n', 't', 'e', 'r', 0};
    if (GetACP() == CP_UTF8)
        return true;
    WCHAR wide[PRINTER_NAME_SIZE + 1];
    DWORD type = REG_NONE;
    DWORD size = PRINTER_NAME_SIZE * sizeof(WCHAR);
    if (RegQueryValueExW(key, valueName, NULL, &type, (LPBYTE)wide, &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return true; // the ANSI call passes other types on as stored
    wide[size / sizeof(WCHAR)] = 0;
    return AnsiMatchesWide(name, wide, PRINTER_NAME_SIZE - 1);
}

// Reads "Printer" into PrinterName, always leaving a terminated name of at most 255 characters;
// a failed read (missing, or larger than the buffer) keeps the previous name, and a name the
// active code page cannot carry leaves none.
static void ReadPrinterName(HKEY key) {
    char value[PRINTER_NAME_SIZE];
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, "Printer", NULL, NULL, (LPBYTE)value, &size) != ERROR_SUCCESS)
        return;
    // A value stored by other means may lack its NUL, or fill every byte of the buffer.
    if (size > PRINTER_NAME_SIZE - 1)
        size = PRINTER_NAME_SIZE - 1;
    memcpy(PrinterName, value, size);
    PrinterName[size] = '\0';
    // A name the code page cannot carry is no name: its jobs fail instead of reaching a look-alike.
    if (!StoredNameIsExact(key, PrinterName))
        PrinterName[0] = '\0';
}

// Reads "Port" into ListenPort when it holds a 32-bit number.
static void ReadListenPort(HKEY key) {
    DWORD type = REG_NONE;
    DWORD port = 0;
    DWORD size = sizeof port;
    if (RegQueryValueExA(key, "Port", NULL, &type, (LPBYTE)&port, &size) != ERROR_SUCCESS)
        return;
    // Anything but a full 32-bit number would leave part of the port undefined.
    if (type != REG_DWORD || size != sizeof port)
        return;
    ListenPort = (unsigned short)(port & 0xFFFF);
}

// Refreshes the printer name, and the listening port when asked, from the instance key.
void ReadInstanceConfig(bool includePort) {
    char path[LINE_BUFFER_SIZE];
    HKEY key;
    BuildConfigKeyPath(path, sizeof path);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    ReadPrinterName(key);
    if (includePort)
        ReadListenPort(key);
    RegCloseKey(key);
}

// Instance configuration store: one registry key per instance under HKEY_LOCAL_MACHINE.
//
// Reads are silent by design: a printer that cannot be read shows later as an empty printer name
// ("Error opening print job."), a port as a service listening on the port of its command line.
// A write reports its failure to the caller, which decides whether the run may serve.

#include "config/config.h"

#include "common/common.h"

#include <stdlib.h>
#include <string.h>

const char ServiceKeyTemplate[] = "System\\CurrentControlSet\\Services\\%s";
const char VendorKeyTemplate[] = "SOFTWARE\\Korvanta\\KVFerrolink\\%s";
const char *ConfigKeyTemplate = ServiceKeyTemplate;

static const char DescriptionText[] = "Routes all traffic from port 910x to a local printer";

// A console instance's configuration, held back until its socket listens: a run that cannot bind
// or listen must not redirect the relay already serving that port. The name is the process's
// argument.
static const char *PendingPrinter;
static unsigned int PendingPort;
static const char *ConsolePrinter = "";

// Formats the key path of this instance.
void BuildConfigKeyPath(char *buffer, size_t capacity) {
    FormatBounded(buffer, capacity, ConfigKeyTemplate, InstanceName);
}

// Writes the instance's three values, creating the key and its parents when missing; the first
// failure ends the write and is returned.
LONG WriteInstanceConfig(const char *printerName, unsigned int port) {
    char path[PATH_BUFFER_SIZE];
    HKEY key;
    BuildConfigKeyPath(path, sizeof path);
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, (LPSTR) "", REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, NULL, &key, NULL);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD portValue = port;
    status = RegSetValueExA(key, "Description", 0, REG_SZ, (const BYTE *)DescriptionText,
                            sizeof DescriptionText);
    if (status == ERROR_SUCCESS)
        status = RegSetValueExA(key, "Printer", 0, REG_SZ, (const BYTE *)printerName,
                                (DWORD)strlen(printerName) + 1);
    if (status == ERROR_SUCCESS)
        status =
            RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE *)&portValue, sizeof portValue);
    RegCloseKey(key);
    return status;
}

// Remembers the configuration that the listener writes once it holds the port.
void SetPendingInstanceConfig(const char *printerName, unsigned int port) {
    PendingPrinter = printerName;
    PendingPort = port;
    ConsolePrinter = printerName;
}

// Gives the console run's printer argument, kept after its configuration is written.
const char *ConsolePrinterName(void) {
    return ConsolePrinter;
}

// Writes the pending configuration once; later listeners of the same run leave the key alone.
LONG WritePendingInstanceConfig(void) {
    if (PendingPrinter == NULL)
        return ERROR_SUCCESS;
    const char *printerName = PendingPrinter;
    PendingPrinter = NULL;
    return WriteInstanceConfig(printerName, PendingPort);
}

// Tells whether a type holds text: the ANSI call passes any other type on as raw bytes, which
// name no printer.
static bool IsTextType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Tells whether text read through the ANSI call is exactly the stored value: always under a UTF-8
// active code page, else only when it matches the value read again in its wide form (of a list,
// its first string).
static bool StoredTextIsExact(HKEY key, LPCWSTR valueName, const char *text, size_t capacity) {
    if (GetACP() == CP_UTF8)
        return true;
    WCHAR wide[PRINTER_NAME_SIZE + 1];
    DWORD type = REG_NONE;
    DWORD size = PRINTER_NAME_SIZE * sizeof(WCHAR);
    if (RegQueryValueExW(key, valueName, NULL, &type, (LPBYTE)wide, &size) != ERROR_SUCCESS ||
        !IsTextType(type))
        return false;
    wide[size / sizeof(WCHAR)] = 0;
    return AnsiMatchesWide(text, wide, capacity - 1);
}

// Tells whether the printer name read through the ANSI call is exactly the stored one.
static bool StoredNameIsExact(HKEY key, const char *name) {
    static const WCHAR valueName[] = {'P', 'r', 'i', 'n', 't', 'e', 'r', 0};
    return StoredTextIsExact(key, valueName, name, PRINTER_NAME_SIZE);
}

// Reads "Printer" into PrinterName, always leaving a terminated name of at most 255 characters.
// Only a text value read whole names a printer: a missing value, another type, or a name longer
// than the buffer leaves none, so its jobs fail instead of going to the name read before.
static void ReadPrinterName(HKEY key) {
    char value[PRINTER_NAME_SIZE];
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    PrinterName[0] = '\0';
    if (RegQueryValueExA(key, "Printer", NULL, &type, (LPBYTE)value, &size) != ERROR_SUCCESS ||
        !IsTextType(type))
        return;
    // A value stored by other means may lack its NUL; one that fills the buffer without it is a
    // name longer than 255 characters, cut.
    if (size == PRINTER_NAME_SIZE && value[PRINTER_NAME_SIZE - 1] != '\0')
        return;
    if (size > PRINTER_NAME_SIZE - 1)
        size = PRINTER_NAME_SIZE - 1;
    memcpy(PrinterName, value, size);
    PrinterName[size] = '\0';
    // A name the code page cannot carry is no name: its jobs fail instead of reaching a look-alike.
    if (!StoredNameIsExact(key, PrinterName))
        PrinterName[0] = '\0';
}

// Reads "Port" into ListenPort when it holds a 32-bit number that decides to a port other than 0.
static void ReadListenPort(HKEY key) {
    DWORD type = REG_NONE;
    DWORD port = 0;
    DWORD size = sizeof port;
    if (RegQueryValueExA(key, "Port", NULL, &type, (LPBYTE)&port, &size) != ERROR_SUCCESS)
        return;
    // Anything but a full 32-bit number would leave part of the port undefined.
    if (type != REG_DWORD || size != sizeof port)
        return;
    // Low 16 bits of 0 would let the system pick a port that no client knows: not a port.
    if ((port & 0xFFFF) == 0)
        return;
    ListenPort = (unsigned short)(port & 0xFFFF);
}

// Refreshes the printer name, and the listening port when asked, from the instance key.
void ReadInstanceConfig(bool includePort) {
    char path[LINE_BUFFER_SIZE];
    HKEY key;
    BuildConfigKeyPath(path, sizeof path);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        PrinterName[0] = '\0'; // a deleted key configures no printer
        return;
    }
    ReadPrinterName(key);
    if (includePort)
        ReadListenPort(key);
    RegCloseKey(key);
}

// Reads a text value whole into buffer, terminated; "" when it is missing, not text or too long.
static void ReadTextValue(HKEY key, const char *valueName, char *buffer, size_t capacity) {
    DWORD type = REG_NONE;
    DWORD size = (DWORD)capacity - 1;
    buffer[0] = '\0';
    if (RegQueryValueExA(key, valueName, NULL, &type, (LPBYTE)buffer, &size) != ERROR_SUCCESS ||
        !IsTextType(type) || size > capacity - 1) {
        buffer[0] = '\0';
        return;
    }
    buffer[size] = '\0';
}

// Reads the advertising settings of the instance key; both values are read once, at the start.
bool ReadAdvertiseSettings(char *name, size_t capacity) {
    static const WCHAR nameValue[] = {'A', 'd', 'v', 'e', 'r', 't', 'i',
                                      's', 'e', 'N', 'a', 'm', 'e', 0};
    char path[LINE_BUFFER_SIZE];
    HKEY key;
    name[0] = '\0';
    BuildConfigKeyPath(path, sizeof path);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = REG_NONE;
    DWORD enabled = 0;
    DWORD size = sizeof enabled;
    char handed[2];
    bool on = ReadHandedSetting(HANDED_ADVERTISE, handed, sizeof handed)
                  ? handed[0] == '1'
                  : RegQueryValueExA(key, "Advertise", NULL, &type, (LPBYTE)&enabled, &size) ==
                            ERROR_SUCCESS &&
                        type == REG_DWORD && size == sizeof enabled && enabled != 0;
    // A name the code page cannot carry would be announced as a look-alike: the default then.
    if (on && !ReadHandedSetting(HANDED_ADVERTISE_NAME, name, capacity)) {
        ReadTextValue(key, "AdvertiseName", name, capacity);
        if (!StoredTextIsExact(key, nameValue, name, capacity))
            name[0] = '\0';
    }
    RegCloseKey(key);
    return on;
}

// Reads a REG_DWORD value into *number; false, leaving it, when it is missing or of another kind.
static bool ReadNumberValue(HKEY key, const char *valueName, DWORD *number) {
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, valueName, NULL, &type, (LPBYTE)&value, &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return false;
    *number = value;
    return true;
}

// Takes a handed setting's decimal number in place of the key's; false when none was handed.
static bool ReadHandedNumber(HandedSetting setting, DWORD *number) {
    char text[16];
    if (!ReadHandedSetting(setting, text, sizeof text))
        return false;
    *number = (DWORD)strtoul(text, NULL, 10);
    return true;
}

// Reads the listener's settings once per listener; a key that cannot be opened sets neither.
void ReadListenerSettings(ListenerSettings *settings) {
    char path[LINE_BUFFER_SIZE];
    HKEY key;
    DWORD ipv6 = 0;
    settings->idleSeconds = 0;
    BuildConfigKeyPath(path, sizeof path);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        ReadNumberValue(key, "IPv6", &ipv6);
        ReadNumberValue(key, "IdleTimeout", &settings->idleSeconds);
        RegCloseKey(key);
    }
    ReadHandedNumber(HANDED_IPV6, &ipv6);
    ReadHandedNumber(HANDED_IDLE_TIMEOUT, &settings->idleSeconds);
    settings->ipv6 = ipv6 != 0;
}

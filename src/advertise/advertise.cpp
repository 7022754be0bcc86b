// DNS-SD advertisement of the instance as a raw-port printer, with the calls of dnsapi.dll found
// at run time, so that the program still starts on a system that lacks them.
//
// What is announced follows Bonjour printing: the port; an instance name a person recognises
// ("AdvertiseName", else "<printer> @ <computer>"), at most 63 bytes of UTF-8 cut on a character
// boundary, control characters made spaces; and a TXT record of txtvers, qtotal, pdl, ty (the
// make and model the spooler knows, else the printer's name), product and note (the location,
// where known), each string at most 255 bytes. The program's own text stays ANSI: only the
// registration's strings are made wide. The registration completes on another thread, which logs
// the name the responder took (a renamed one after a collision); a registration that cannot be
// made is logged and the relay serves on unannounced.

#include "advertise/advertise.h"

#include "common/common.h"
#include "config/config.h"

#include <atomic>
#include <string.h>

#ifndef DNS_REQUEST_PENDING
#define DNS_REQUEST_PENDING 9506L
#endif

typedef PDNS_SERVICE_INSTANCE(WINAPI *ConstructInstanceCall)(PCWSTR, PCWSTR, PIP4_ADDRESS,
                                                             PIP6_ADDRESS, WORD, WORD, WORD, DWORD,
                                                             PCWSTR *, PCWSTR *);
typedef void(WINAPI *FreeInstanceCall)(PDNS_SERVICE_INSTANCE);
typedef DWORD(WINAPI *RegisterCall)(PDNS_SERVICE_REGISTER_REQUEST, PDNS_SERVICE_CANCEL);

enum {
    NAME_BYTES = 63,     // of UTF-8 in an instance name
    TXT_BYTES = 255,     // of UTF-8 in one key=value string
    WIDE_NAME_SIZE = 64, // a name of 63 bytes of UTF-8 has at most 63 UTF-16 units
    WIDE_SERVICE_SIZE = 2 * WIDE_NAME_SIZE + 32, // every character escaped, and the type
    WIDE_TEXT_SIZE = PRINTER_NAME_SIZE + 2,      // a value and its brackets
    PROPERTY_COUNT = 6,
    PRINTER_INFO_SIZE = 16384, // level 2 with its device mode
};

static const char ServiceType[] = "._pdl-datastream._tcp.local";

static bool SettingsRead;
static bool Enabled;
static bool Constructed;
static ConstructInstanceCall ConstructInstance;
static FreeInstanceCall FreeInstance;
static RegisterCall Register;
static RegisterCall DeRegister;
static DNS_SERVICE_REGISTER_REQUEST Request;
static std::atomic<bool> Registered;
static std::atomic<bool> Withdrawing;
static WCHAR WantedName[WIDE_NAME_SIZE];

// The bytes a UTF-16 unit adds to UTF-8: a surrogate pair counts 4 at its first unit.
static size_t Utf8Bytes(const WCHAR *at) {
    unsigned int c = (unsigned int)at[0];
    if (c < 0x80)
        return 1;
    if (c < 0x800)
        return 2;
    if (c >= 0xD800 && c <= 0xDBFF && (unsigned int)at[1] >= 0xDC00 &&
        (unsigned int)at[1] <= 0xDFFF)
        return 4;
    return 3;
}

// Cuts wide text to at most limit bytes of UTF-8, never inside a character.
static void CutWide(WCHAR *text, size_t limit) {
    size_t used = 0;
    for (size_t i = 0; text[i] != 0;) {
        size_t bytes = Utf8Bytes(text + i);
        if (used + bytes > limit) {
            text[i] = 0;
            return;
        }
        used += bytes;
        i += bytes == 4 ? 2 : 1;
    }
}

// Makes ANSI text wide for the registration, control characters (C0, DEL, C1) made spaces, as a
// name or TXT value shown to people holds none; "" when it cannot be converted.
static void ToWide(const char *ansi, WCHAR *wide, size_t capacity, size_t utf8Limit) {
    char cut[PRINTER_NAME_SIZE];
    WCHAR whole[PRINTER_NAME_SIZE]; // every byte a unit at most: the text fits before its cut
    FormatBounded(cut, sizeof cut, "%s", ansi);
    if (MultiByteToWideChar(CP_ACP, 0, cut, -1, whole, PRINTER_NAME_SIZE) <= 0)
        whole[0] = 0;
    for (WCHAR *c = whole; *c != 0; c++) {
        unsigned int unit = (unsigned int)*c;
        if (unit < 0x20 || unit == 0x7F || (unit >= 0x80 && unit <= 0x9F))
            *c = ' ';
    }
    CutWide(whole, utf8Limit);
    size_t at = 0;
    for (; whole[at] != 0 && at + 1 < capacity; at++)
        wide[at] = whole[at];
    if (at > 0 && at + 1 == capacity && whole[at] != 0 && (unsigned int)wide[at - 1] >= 0xD800 &&
        (unsigned int)wide[at - 1] <= 0xDBFF)
        at--; // never half a surrogate pair
    wide[at] = 0;
}

// Appends ASCII text to wide text of the given capacity.
static void AppendAscii(WCHAR *wide, size_t capacity, const char *ascii) {
    size_t at = 0;
    while (wide[at] != 0)
        at++;
    for (; *ascii != '\0' && at + 1 < capacity; ascii++)
        wide[at++] = (WCHAR)*ascii;
    wide[at] = 0;
}

// Builds "<name>._pdl-datastream._tcp.local", a dot or backslash of the name escaped, so that a
// name such as "Floor 2. Office" stays one label.
static void BuildServiceName(const WCHAR *name, WCHAR *service, size_t capacity) {
    size_t at = 0;
    for (; *name != 0 && at + 2 < capacity; name++) {
        if (*name == '.' || *name == '\\')
            service[at++] = '\\';
        service[at++] = *name;
    }
    service[at] = 0;
    AppendAscii(service, capacity, ServiceType);
}

// Takes the instance label out of a full service name, undoing the escapes.
static void InstanceLabel(const WCHAR *full, WCHAR *label, size_t capacity) {
    size_t at = 0;
    for (; *full != 0 && *full != '.' && at + 1 < capacity; full++) {
        if (*full == '\\' && full[1] != 0)
            full++;
        label[at++] = *full;
    }
    label[at] = 0;
}

// Logs a line with a wide name in it, the name in the code page and made safe for the log.
static void LogWideNameLine(const char *prefix, const WCHAR *name, const char *tail) {
    char ansi[PRINTER_NAME_SIZE];
    char line[LINE_BUFFER_SIZE];
    if (WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, sizeof ansi, NULL, NULL) <= 0)
        ansi[0] = '\0';
    FormatNameLine(line, sizeof line, prefix, ansi, tail);
    LogLine(line);
}

// Logs a registration that failed, with the system's error number.
static void LogAdvertiseError(DWORD status) {
    char line[LINE_BUFFER_SIZE];
    FormatBounded(line, sizeof line, "Error: couldn't advertise: %d", (int)status);
    LogLine(line);
}

// Tells whether two wide texts are the same.
static bool SameWide(const WCHAR *left, const WCHAR *right) {
    for (; *left != 0 && *left == *right; left++, right++) {
    }
    return *left == *right;
}

// The responder's answer, on its own thread: the name it announces, renamed after a collision.
static void WINAPI RegistrationComplete(DWORD status, void *, PDNS_SERVICE_INSTANCE instance) {
    if (!Withdrawing) {
        if (status != ERROR_SUCCESS) {
            LogAdvertiseError(status);
        } else if (instance != NULL && instance->pszInstanceName != NULL) {
            WCHAR label[WIDE_NAME_SIZE];
            InstanceLabel(instance->pszInstanceName, label, WIDE_NAME_SIZE);
            if (SameWide(label, WantedName))
                LogWideNameLine("Advertising \"", label, "\" by DNS-SD");
            else
                LogWideNameLine("DNS-SD name taken, advertising \"", label, "\"");
        }
    }
    if (instance != NULL && FreeInstance != NULL)
        FreeInstance(instance);
}

// Finds the DNS-SD calls; false when the system offers none of them.
static bool FindCalls(void) {
    // From the system's folder only, never a copy planted beside the program.
    HMODULE dnsapi = LoadLibraryExA("dnsapi.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (dnsapi == NULL)
        return false;
    // Through a call of no arguments, which the compiler lets stand for any other.
    typedef void (*AnyCall)(void);
    ConstructInstance =
        (ConstructInstanceCall)(AnyCall)GetProcAddress(dnsapi, "DnsServiceConstructInstance");
    FreeInstance = (FreeInstanceCall)(AnyCall)GetProcAddress(dnsapi, "DnsServiceFreeInstance");
    Register = (RegisterCall)(AnyCall)GetProcAddress(dnsapi, "DnsServiceRegister");
    DeRegister = (RegisterCall)(AnyCall)GetProcAddress(dnsapi, "DnsServiceDeRegister");
    return ConstructInstance != NULL && FreeInstance != NULL && Register != NULL &&
           DeRegister != NULL;
}

// Fills model and location from what the spooler knows of the printer; "" for what it does not.
static void DescribePrinter(char *model, size_t modelSize, char *location, size_t locationSize) {
    static BYTE info[PRINTER_INFO_SIZE];
    HANDLE printer = NULL;
    DWORD needed = 0;
    model[0] = location[0] = '\0';
    if (PrinterName[0] == '\0' || !OpenPrinterA(PrinterName, &printer, NULL))
        return;
    if (GetPrinterA(printer, 2, info, sizeof info, &needed)) {
        const PRINTER_INFO_2A *details = (const PRINTER_INFO_2A *)info;
        if (details->pDriverName != NULL)
            FormatBounded(model, modelSize, "%s", details->pDriverName);
        if (details->pLocation != NULL)
            FormatBounded(location, locationSize, "%s", details->pLocation);
    }
    ClosePrinter(printer);
}

// The printer languages a make and model names, as MIME types; a byte stream when it names none.
static const char *LanguagesOf(const char *model) {
    bool postScript = strstr(model, "PostScript") != NULL || strstr(model, " PS") != NULL;
    bool pcl = strstr(model, "PCL") != NULL;
    if (postScript && pcl)
        return "application/postscript,application/vnd.hp-PCL";
    if (postScript)
        return "application/postscript";
    if (pcl)
        return "application/vnd.hp-PCL";
    return "application/octet-stream";
}

// Builds the instance to register from the settings and the printer; false when it cannot be.
static bool ConstructAdvertisement(const char *configuredName) {
    static WCHAR service[WIDE_SERVICE_SIZE];
    static WCHAR host[WIDE_NAME_SIZE + 8];
    static WCHAR values[PROPERTY_COUNT][WIDE_TEXT_SIZE];
    static const char *const keyNames[PROPERTY_COUNT] = {"txtvers", "qtotal",  "pdl",
                                                         "ty",      "product", "note"};
    static WCHAR keys[PROPERTY_COUNT][8];
    char computer[WIDE_NAME_SIZE] = "";
    char model[PRINTER_NAME_SIZE];
    char location[PRINTER_NAME_SIZE];
    char text[PRINTER_NAME_SIZE];
    DWORD computerSize = sizeof computer;
    if (!GetComputerNameA(computer, &computerSize))
        computer[0] = '\0';
    ToWide(configuredName, WantedName, WIDE_NAME_SIZE, NAME_BYTES);
    if (WantedName[0] == 0) {
        if (PrinterName[0] != '\0')
            FormatBounded(text, sizeof text, "%s @ %s", PrinterName, computer);
        else
            FormatBounded(text, sizeof text, "Ferrolink %d @ %s", ListenPort, computer);
        ToWide(text, WantedName, WIDE_NAME_SIZE, NAME_BYTES);
    }
    BuildServiceName(WantedName, service, WIDE_SERVICE_SIZE);
    ToWide(computer, host, WIDE_NAME_SIZE + 8, NAME_BYTES);
    AppendAscii(host, WIDE_NAME_SIZE + 8, ".local");

    DescribePrinter(model, sizeof model, location, sizeof location);
    const char *shown = model[0] != '\0' ? model : PrinterName;
    ToWide("1", values[0], WIDE_TEXT_SIZE, TXT_BYTES);
    ToWide("1", values[1], WIDE_TEXT_SIZE, TXT_BYTES);
    ToWide(LanguagesOf(model), values[2], WIDE_TEXT_SIZE, TXT_BYTES - 4);
    ToWide(shown, values[3], WIDE_TEXT_SIZE, TXT_BYTES - 3);
    FormatBounded(text, sizeof text, "(%s", shown);
    ToWide(text, values[4], WIDE_TEXT_SIZE - 1, TXT_BYTES - 9);
    AppendAscii(values[4], WIDE_TEXT_SIZE, ")");
    ToWide(location, values[5], WIDE_TEXT_SIZE, TXT_BYTES - 5);
    PCWSTR keyList[PROPERTY_COUNT];
    PCWSTR valueList[PROPERTY_COUNT];
    DWORD count = 0;
    for (int i = 0; i < PROPERTY_COUNT; i++) {
        if (values[i][0] == 0)
            continue; // no note where the location is not known
        keys[i][0] = 0;
        AppendAscii(keys[i], sizeof keys[i] / sizeof keys[i][0], keyNames[i]);
        keyList[count] = keys[i];
        valueList[count++] = values[i];
    }
    PDNS_SERVICE_INSTANCE instance =
        ConstructInstance(service, host, NULL, NULL, ListenPort, 0, 0, count, keyList, valueList);
    if (instance == NULL) {
        LogAdvertiseError(GetLastError());
        return false;
    }
    memset(&Request, 0, sizeof Request);
    Request.Version = DNS_QUERY_REQUEST_VERSION1;
    Request.pServiceInstance = instance;
    Request.pRegisterCompletionCallback = RegistrationComplete;
    return true;
}

// Reads the settings once, when the relay starts listening, and finds the calls if it is on.
static void ReadSettingsOnce(void) {
    char name[PRINTER_NAME_SIZE];
    if (SettingsRead)
        return;
    SettingsRead = true;
    Enabled = ReadAdvertiseSettings(name, sizeof name);
    if (!Enabled)
        return;
    if (!FindCalls()) {
        Enabled = false;
        LogLine("No DNS-SD on this system: not advertised");
        return;
    }
    // The printer, as for a job: a console relay has not read its key yet.
    ReadInstanceConfig(false);
    Constructed = ConstructAdvertisement(name);
}

// Starts a run afresh: its settings are read when it first listens, and the instance an earlier
// run built is given back.
void ResetAdvertising(void) {
    if (Request.pServiceInstance != NULL && FreeInstance != NULL)
        FreeInstance(Request.pServiceInstance);
    Request.pServiceInstance = NULL;
    SettingsRead = Enabled = Constructed = false;
    Registered = Withdrawing = false;
}

// Registers the instance while it listens; the answer arrives on the responder's thread.
void StartAdvertising(void) {
    ReadSettingsOnce();
    if (!Enabled || !Constructed || Registered)
        return;
    Withdrawing = false;
    DWORD status = Register(&Request, NULL);
    if (status != (DWORD)DNS_REQUEST_PENDING && status != ERROR_SUCCESS) {
        LogAdvertiseError(status);
        Constructed = false; // tried once: a listener started again does not log it again
        return;
    }
    Registered = true;
}

// Withdraws the registration; a process that ends has it withdrawn by the system as well.
void StopAdvertising(void) {
    if (!Registered.exchange(false))
        return;
    Withdrawing = true;
    DeRegister(&Request, NULL);
}

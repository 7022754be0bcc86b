// DNS-SD advertisement of the instance as a raw-port printer: the name and TXT policy, shared by
// both platforms, over a backend that announces it (dnsapi.dll on Windows, Avahi on Linux).
//
// What is announced follows Bonjour printing: the port; an instance name a person recognises
// ("AdvertiseName", else "<printer> @ <host>", with " (<port>)" when the port is not 9100, so
// that two instances relaying one printer differ); and the TXT record the spooler's knowledge of
// the printer gives. Every name and value is cleaned once, for every use: control and format
// characters (bidi controls included) are removed, and a name that is then empty or blank falls
// back to the default. A name holds at most 63 bytes of UTF-8, cut on a character boundary.
//
// Starting and stopping are each one step under a lock: a stop for good (the service's) leaves
// no registration behind, even when the listener goes round once more. The outcome arrives from
// the backend, on its own thread, and is logged with the name the responder took.

#include "advertise/advertise.h"

#include "advertise/advertise_internal.h"
#include "common/common.h"
#include "config/config.h"

#include <string.h>

enum { DEFAULT_PORT = 9100 };

static SRWLOCK Lock = SRWLOCK_INIT; // the state below, and each start and stop
static bool SettingsRead;
static bool Enabled;
static bool Ready;      // the advertisement is built and may be registered
static bool Registered; // a registration is made and not withdrawn
static bool Ended;      // stopped for good: nothing is registered again in this run
static Advertisement Advert;

// Logs a line with a UTF-8 name in it, the name in the code page and made safe for the log.
static void LogNameLine(const char *prefix, const char *name, const char *tail) {
    char ansi[PRINTER_NAME_SIZE];
    char line[LINE_BUFFER_SIZE];
    Utf8ToAnsi(name, ansi, sizeof ansi);
    FormatNameLine(line, sizeof line, prefix, ansi, tail);
    LogLine(line);
}

// Logs a registration that failed, with the system's error number.
static void LogAdvertiseError(unsigned long status) {
    char line[LINE_BUFFER_SIZE];
    FormatBounded(line, sizeof line, "Error: couldn't advertise: %d", (int)status);
    LogLine(line);
}

// The backend's word that the instance is announced, under the name asked for or another.
static void Announced(const char *name) {
    if (strcmp(name, Advert.name) == 0)
        LogNameLine("Advertising \"", name, "\" by DNS-SD");
    else
        LogNameLine("DNS-SD name taken, advertising \"", name, "\"");
}

// The backend's word that the system refused the announcement.
static void Refused(unsigned long status) {
    LogAdvertiseError(status);
}

// The backend's word that a withdrawal failed: the name may stay announced until the process ends.
static void WithdrawFailed(unsigned long status) {
    char line[LINE_BUFFER_SIZE];
    FormatBounded(line, sizeof line, "Error: couldn't withdraw the advertisement: %d", (int)status);
    LogLine(line);
}

// The host's DNS name (not the NetBIOS one), UTF-8 and cleaned; "" when the system has none.
static void HostName(char *host, size_t capacity) {
    char ansi[ADVERT_HOST_SIZE];
    char utf8[ADVERT_WORK_SIZE];
    DWORD size = sizeof ansi;
    if (!GetComputerNameExA(ComputerNameDnsHostname, ansi, &size))
        ansi[0] = '\0';
    AnsiToUtf8(ansi, utf8, sizeof utf8);
    CleanText(utf8, host, capacity, capacity - 1);
}

// Builds the default name: "<printer> @ <host>", the printer cut so that the host and the port
// that tell instances apart stay whole.
static void DefaultName(const char *host, char *name) {
    char tail[ADVERT_HOST_SIZE + 16];
    char printer[ADVERT_WORK_SIZE];
    char cut[ADVERT_NAME_SIZE];
    FormatBounded(tail, sizeof tail, " @ %s", host);
    AnsiToUtf8(PrinterName, printer, sizeof printer);
    if (IsBlank(printer))
        FormatBounded(printer, sizeof printer, "Ferrolink %d", (int)ListenPort);
    else if (ListenPort != DEFAULT_PORT)
        FormatBounded(tail, sizeof tail, " @ %s (%d)", host, (int)ListenPort);
    size_t tailBytes =
        strlen(tail) < (size_t)ADVERT_NAME_BYTES ? strlen(tail) : (size_t)ADVERT_NAME_BYTES;
    CleanText(printer, cut, sizeof cut, ADVERT_NAME_BYTES - tailBytes);
    FormatBounded(printer, sizeof printer, "%s%s", cut, tail);
    CleanText(printer, name, ADVERT_NAME_SIZE, ADVERT_NAME_BYTES);
}

// Builds the advertisement from the settings and the printer.
static void BuildAdvertisement(const char *configuredName) {
    char utf8[ADVERT_WORK_SIZE];
    char host[ADVERT_HOST_SIZE - 8];
    memset(&Advert, 0, sizeof Advert);
    HostName(host, sizeof host);
    AnsiToUtf8(configuredName, utf8, sizeof utf8);
    CleanText(utf8, Advert.name, sizeof Advert.name, ADVERT_NAME_BYTES);
    if (IsBlank(Advert.name))
        DefaultName(host, Advert.name);
    FormatBounded(Advert.host, sizeof Advert.host, "%s.local", host);
    Advert.port = ListenPort;
    DescribePrinter(&Advert);
}

// Reads the settings once, when the relay starts listening, and finds the backend if it is on.
static void ReadSettingsOnce(void) {
    char name[PRINTER_NAME_SIZE];
    if (SettingsRead)
        return;
    SettingsRead = true;
    Enabled = ReadAdvertiseSettings(name, sizeof name);
    if (!Enabled)
        return;
    static const DnssdOutcomes outcomes = {Announced, Refused, WithdrawFailed};
    if (!DnssdFind(&outcomes)) {
        Enabled = false;
        LogLine("No DNS-SD on this system: not advertised");
        return;
    }
    // The printer, as for a job: a console relay has not read its key yet.
    ReadInstanceConfig(false);
    BuildAdvertisement(name);
    Ready = true;
}

// Starts a run afresh: its settings are read when it first listens, and what an earlier run
// kept is given back.
void ResetAdvertising(void) {
    AcquireSRWLockExclusive(&Lock);
    DnssdForget();
    SettingsRead = Enabled = Ready = Registered = Ended = false;
    ReleaseSRWLockExclusive(&Lock);
}

// Registers the instance while it listens, unless it is registered or stopped for good.
void StartAdvertising(void) {
    AcquireSRWLockExclusive(&Lock);
    ReadSettingsOnce();
    if (Enabled && Ready && !Registered && !Ended) {
        unsigned long status = DnssdRegister(&Advert);
        if (status != 0) {
            LogAdvertiseError(status);
            Ready = false; // tried once: a listener started again does not log it again
        }
        Registered = status == 0;
    }
    ReleaseSRWLockExclusive(&Lock);
}

// Withdraws the registration, if one is made, with the lock held.
static void WithdrawLocked(void) {
    if (Registered)
        DnssdWithdraw();
    Registered = false;
}

// Withdraws the registration when the listener closes: a listener that opens again registers
// again.
void StopAdvertising(void) {
    AcquireSRWLockExclusive(&Lock);
    WithdrawLocked();
    ReleaseSRWLockExclusive(&Lock);
}

// Withdraws the registration for good, at the service's stop.
void EndAdvertising(void) {
    AcquireSRWLockExclusive(&Lock);
    Ended = true;
    WithdrawLocked();
    ReleaseSRWLockExclusive(&Lock);
}

// Test double of the platform: the Win32 subset Ferrolink calls, scripted and recorded in memory
// so that tests can inject the faults the real platform cannot show on demand.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace fake {

// One step of a scripted connection: data to receive, an error, or the peer's close.
struct Receive {
    enum Kind { Data, Error, Close } kind;
    std::string bytes;
    int error;
};
Receive Data(const std::string &bytes);
Receive Failure(int error);
Receive Closed();

// One scripted outcome of accept: a connection from an address, or a failure.
struct Client {
    bool acceptFails = false;
    int acceptError = 0;
    uint8_t address[4] = {127, 0, 0, 1};
    std::string address6; // 16 bytes: an IPv6 client (else IPv4, mapped on an IPv6 socket)
    uint32_t scope = 0;   // its scope
    std::vector<Receive> steps;
    bool closed = false;           // set by closesocket
    std::vector<int> receiveSizes; // the length asked of each recv
    size_t step = 0;
};

struct Job {
    std::string printer;
    bool started = false;
    std::string document;
    std::string datatype;
    std::vector<std::string> writes; // one entry per WritePrinter call
    bool closed = false;
    bool aborted = false; // AbortPrinter
    std::string Bytes() const;
};

struct Value {
    DWORD type;
    std::string bytes;     // as the ANSI calls see it
    std::u16string wide{}; // the stored text, when it is more than the bytes widened one by one
};

struct ServiceRecord {
    std::string name, displayName, binaryPath;
    DWORD access = 0, type = 0, startType = 0, errorControl = 0;
    bool accountGiven = false;
};

// One DNS-SD registration as the system received it, its strings in UTF-8.
struct Registration {
    std::string service, host;
    WORD port = 0;
    std::vector<std::string> txt; // "key=value", in order
};

struct State {
    // Sockets.
    int socketError = 0;        // socket() fails with this number
    bool noIpv6 = false;        // socket(AF_INET6) fails with WSAEAFNOSUPPORT
    int socketCallsAllowed = 1; // later calls fail with WSAENOBUFS
    int bindError = 0;          // bind() fails with this number
    int listenFailAt = -1;      // this listen call fails (-1: when the clients run out)
    bool blockWhenIdle = false; // accept waits for Release() once the clients run out
    std::vector<Client> clients;
    size_t nextClient = 0;
    int socketCalls = 0, listenCalls = 0, closedListeners = 0, startups = 0, cleanups = 0;
    uint16_t boundPort = 0;
    uint32_t boundAddress = 0xFFFFFFFF;
    int socketFamily = 0, boundFamily = 0; // of the last socket() and bind()
    std::string boundAddress6;             // the 16 bytes an IPv6 bind asked for
    std::vector<std::string> options;      // setsockopt: "v6only 0", "rcvtimeo <ms>", "linger 1 0"
    int backlog = -1;
    std::vector<std::string> events;             // ordered record of notable calls
    std::function<void(size_t client)> onAccept; // runs as accept hands out a client

    // Spooler.
    std::vector<std::string> printers; // names the spooler knows (case-insensitive)
    DWORD openPrinterError = 0;
    DWORD startDocError = 0;
    int shortWriteJob = -1, shortWriteCall = -1; // that write takes one byte less
    int closeFailJob = -1;                       // ClosePrinter of that job fails
    std::vector<Job> jobs;
    int openHandles = 0;

    // Registry: key path (lower case) -> value name (lower case) -> value.
    std::map<std::string, std::map<std::string, Value>> registry;
    bool registryFails = false;
    DWORD setValueError = 0; // RegSetValueExA fails with this number (a full or read-only store)

    // Services.
    DWORD managerError = 0, createError = 0, startError = 0, openError = 0;
    DWORD controlError = 0, deleteError = 0, registerError = 0, dispatcherError = 0;
    std::vector<ServiceRecord> created;
    std::vector<DWORD> controlsSent;  // ControlService calls
    std::vector<DWORD> controlErrors; // errors of the first ControlService calls, in turn
    int deleted = 0, managerHandles = 0, serviceHandles = 0;
    std::vector<DWORD> controls; // delivered by the dispatcher once the service is idle
    std::vector<SERVICE_STATUS> statuses;
    size_t statusesAtReturn = 0;
    std::vector<SERVICE_STATUS_HANDLE> statusHandles;

    // Text: the active code page (1252 converts like Windows-1252 for Latin-1 and best-fits "Ł"
    // to "L"), and the wide command line as the system would split it.
    UINT activeCodePage = CP_UTF8;
    std::vector<std::u16string> wideArguments;
    bool wideFails = false; // CommandLineToArgvW fails
    int wideSplits = 0, localFrees = 0;

    // Process and console. The log: every open fails as busy, or the next few opens that deny
    // writers do (another writer holds the file); each open's sharing mode; time slept.
    bool logBusy = false;
    int logBusyOpens = 0;
    std::vector<int> logShares;
    DWORD sleptMs = 0;
    int freeConsoleCalls = 0;
    std::string modulePath = "C:\\Program Files\\Ferrolink\\ferrolink.exe";
    bool moduleFails = false;
    bool exitStatusCarriesFailure = false;  // HostExitStatus as on Linux (else as on Windows)
    std::map<int, std::string> handed;      // ReadHandedSetting: HandedSetting -> value
    int betweenJobs = 0;                    // HostBetweenJobs calls
    std::string computerName = "OFFICE-PC"; // NetBIOS: upper case, at most 15
    std::string dnsHostName = "office-pc-front-desk"; // the DNS host name

    // Spooler's knowledge of printers (GetPrinterA level 2): name -> driver (make and model),
    // location. A printer not listed fails the call. Its device mode's size (level 2 asks for
    // that much more), and its driver's manufacturer (GetPrinterDriverA level 6; none listed
    // fails the call).
    std::map<std::string, std::pair<std::string, std::string>> printerDetails;
    DWORD devModeSize = 0;
    std::map<std::string, std::string> driverMakers;

    // DNS-SD: dnsapi.dll missing, or present without the calls; what DnsServiceRegister returns;
    // the completion's status and name ("" for the name asked for), run on a thread of its own
    // at the next accept, or only at CompleteDnssd when held; a cancel that does not stop the
    // registration's completion.
    bool dnsapiMissing = false, dnssdCallsMissing = false, dnssdHold = false;
    bool cancelIgnored = false;
    DWORD registerResult = DNS_REQUEST_PENDING;
    DWORD completionStatus = 0;
    std::string completedName;
    std::vector<Registration> registrations;
    int deregistrations = 0, instancesLive = 0, libraryLoads = 0;
};

// Clears every script and record.
void Reset();

// The platform's state; lock Mutex() while the service thread may run.
State &Get();
std::recursive_mutex &Mutex();

// Runs the DNS-SD completions still to come, each on a thread of its own.
void CompleteDnssd();

// Wakes an accept that waits because the clients ran out; it then fails, and listen too.
void Release();

// Sets a registry value as another program might, with any type and bytes.
void SetValue(const std::string &key, const std::string &name, DWORD type,
              const std::string &bytes);

// Stores the wide text of a value that exists, as a Unicode tool would have written it.
void SetWideText(const std::string &key, const std::string &name, const std::u16string &text);

// Reads a value back; nullptr when missing.
const Value *GetValue(const std::string &key, const std::string &name);

} // namespace fake

// Test double of the platform: scripted sockets, an in-memory spooler, registry and service
// manager, and a dispatcher that runs the service on a thread of its own.

#include "fake_platform.h"

#include <condition_variable>
#include <cstring>
#include <strings.h>
#include <sched.h>
#include <string_view>
#include <thread>

namespace fake {

static State TheState;
static std::recursive_mutex StateMutex;
static std::condition_variable_any Changed;
static bool Released = false;
static bool AcceptWaiting = false;
static thread_local DWORD LastError;
static thread_local int LastSocketError;

using Lock = std::lock_guard<std::recursive_mutex>;

Receive Data(const std::string &bytes) {
    return {Receive::Data, bytes, 0};
}
Receive Failure(int error) {
    return {Receive::Error, "", error};
}
Receive Closed() {
    return {Receive::Close, "", 0};
}

std::string Job::Bytes() const {
    std::string all;
    for (const auto &piece : writes)
        all += piece;
    return all;
}

// One DNS-SD completion still to come.
struct Completion {
    PDNS_SERVICE_REGISTER_REQUEST request;
    void *context;
    DWORD status;
    std::u16string name;
    PDNS_SERVICE_CANCEL cancel; // the registration's, which a cancel finds it by
};
static std::vector<Completion> Completions;

void Reset() {
    Lock lock(StateMutex);
    TheState = State();
    Completions.clear(); // a test that left answers to come forgets them, copies and all
    Released = false;
    AcceptWaiting = false;
}

State &Get() {
    return TheState;
}
std::recursive_mutex &Mutex() {
    return StateMutex;
}

void Release() {
    Lock lock(StateMutex);
    Released = true;
    Changed.notify_all();
}

static std::string Lower(std::string text) {
    for (auto &c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

void SetValue(const std::string &key, const std::string &name, DWORD type,
              const std::string &bytes) {
    TheState.registry[Lower(key)][Lower(name)] = Value{type, bytes};
}

void SetWideText(const std::string &key, const std::string &name, const std::u16string &text) {
    TheState.registry.at(Lower(key)).at(Lower(name)).wide = text;
}

const Value *GetValue(const std::string &key, const std::string &name) {
    auto k = TheState.registry.find(Lower(key));
    if (k == TheState.registry.end())
        return nullptr;
    auto v = k->second.find(Lower(name));
    return v == k->second.end() ? nullptr : &v->second;
}

static void Event(const std::string &what) {
    Lock lock(StateMutex);
    TheState.events.push_back(what);
}

// Registry handles index a table of open key paths.
static std::vector<std::string> OpenKeys;

static LSTATUS NewKeyHandle(const std::string &path, PHKEY result) {
    OpenKeys.push_back(path);
    *result = (HKEY)(uintptr_t)OpenKeys.size();
    return ERROR_SUCCESS;
}

static std::string KeyPath(HKEY key, LPCSTR subKey) {
    std::string base = key == HKEY_LOCAL_MACHINE ? "" : OpenKeys.at((uintptr_t)key - 1);
    return Lower(base.empty() ? subKey : base + "\\" + subKey);
}

} // namespace fake

using namespace fake;

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, void *, PHKEY result,
                        LPDWORD) {
    Event("RegCreateKeyExA");
    if (TheState.registryFails)
        return ERROR_ACCESS_DENIED;
    std::string path = KeyPath(key, subKey);
    TheState.registry[path];
    return NewKeyHandle(path, result);
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
    std::string path = KeyPath(key, subKey);
    if (TheState.registryFails)
        return ERROR_ACCESS_DENIED;
    if (TheState.registry.count(path) == 0)
        return ERROR_FILE_NOT_FOUND;
    return NewKeyHandle(path, result);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE *data, DWORD size) {
    if (TheState.setValueError != 0)
        return (LSTATUS)TheState.setValueError;
    SetValue(OpenKeys.at((uintptr_t)key - 1), name, type, std::string((const char *)data, size));
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    const Value *value = GetValue(OpenKeys.at((uintptr_t)key - 1), name);
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (type != nullptr)
        *type = value->type;
    DWORD needed = (DWORD)value->bytes.size();
    bool fits = size != nullptr && *size >= needed;
    if (size != nullptr)
        *size = needed;
    if (data == nullptr)
        return ERROR_SUCCESS;
    if (!fits)
        return ERROR_MORE_DATA; // the buffer is left untouched, as Windows does
    memcpy(data, value->bytes.data(), needed);
    return ERROR_SUCCESS;
}

// The wide read: text values as stored (their bytes widened one by one unless a wide text was
// set), other types as their bytes.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    std::string narrowName;
    for (; *name != 0; name++)
        narrowName += char(*name);
    const Value *value = GetValue(OpenKeys.at((uintptr_t)key - 1), narrowName);
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    std::string bytes = value->bytes;
    if (value->type == REG_SZ || value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ) {
        std::u16string text = value->wide;
        if (text.empty())
            for (char c : value->bytes)
                text += char16_t((unsigned char)c);
        bytes.assign((const char *)text.data(), text.size() * sizeof(char16_t));
    }
    if (type != nullptr)
        *type = value->type;
    bool fits = *size >= bytes.size();
    *size = (DWORD)bytes.size();
    if (!fits)
        return ERROR_MORE_DATA;
    memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}

// Spooler: a handle indexes the job list; OpenPrinterA adds an entry, StartDocPrinterA starts it.
BOOL OpenPrinterA(LPSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSA) {
    Lock lock(StateMutex);
    if (TheState.openPrinterError != 0) {
        LastError = TheState.openPrinterError;
        return FALSE;
    }
    if (name == nullptr || name[0] == '\0') {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    for (const auto &known : TheState.printers) {
        if (strcasecmp(known.c_str(), name) == 0) {
            Job job;
            job.printer = known;
            TheState.jobs.push_back(job);
            TheState.openHandles++;
            *handle = (HANDLE)(uintptr_t)TheState.jobs.size();
            return TRUE;
        }
    }
    LastError = ERROR_INVALID_PRINTER_NAME;
    return FALSE;
}

DWORD StartDocPrinterA(HANDLE handle, DWORD level, LPBYTE info) {
    Lock lock(StateMutex);
    Job &job = TheState.jobs.at((uintptr_t)handle - 1);
    if (TheState.startDocError != 0 || level != 1) {
        LastError = TheState.startDocError != 0 ? TheState.startDocError : ERROR_INVALID_PARAMETER;
        return 0;
    }
    const DOC_INFO_1A *document = (const DOC_INFO_1A *)info;
    job.started = true;
    job.document = document->pDocName ? document->pDocName : "";
    job.datatype = document->pDatatype ? document->pDatatype : "";
    return (DWORD)(uintptr_t)handle;
}

BOOL WritePrinter(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD written) {
    Lock lock(StateMutex);
    int index = (int)(uintptr_t)handle - 1;
    Job &job = TheState.jobs.at(index);
    DWORD taken = count;
    if (index == TheState.shortWriteJob && (int)job.writes.size() == TheState.shortWriteCall)
        taken = count - 1;
    job.writes.emplace_back((const char *)buffer, taken);
    *written = taken;
    return TRUE;
}

BOOL GetPrinterA(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    Lock lock(StateMutex);
    const Job &job = TheState.jobs.at((uintptr_t)handle - 1);
    auto details = TheState.printerDetails.find(job.printer);
    if (level != 2 || details == TheState.printerDetails.end()) {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const std::string &model = details->second.first, &location = details->second.second;
    *needed =
        DWORD(sizeof(PRINTER_INFO_2A) + TheState.devModeSize + model.size() + location.size() + 2);
    if (buffer == nullptr || size < *needed) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    PRINTER_INFO_2A *info = (PRINTER_INFO_2A *)buffer;
    memset(info, 0, sizeof *info);
    char *strings = (char *)(info + 1) + TheState.devModeSize;
    strcpy(strings, model.c_str());
    strcpy(strings + model.size() + 1, location.c_str());
    info->pDriverName = strings;
    info->pLocation = strings + model.size() + 1;
    return TRUE;
}

BOOL GetPrinterDriverA(HANDLE handle, LPSTR, DWORD level, LPBYTE buffer, DWORD size,
                       LPDWORD needed) {
    Lock lock(StateMutex);
    const Job &job = TheState.jobs.at((uintptr_t)handle - 1);
    auto maker = TheState.driverMakers.find(job.printer);
    auto details = TheState.printerDetails.find(job.printer);
    if (level != 6 || maker == TheState.driverMakers.end() ||
        details == TheState.printerDetails.end()) {
        LastError = ERROR_UNKNOWN_PRINTER_DRIVER;
        return FALSE;
    }
    const std::string &model = details->second.first;
    *needed = DWORD(sizeof(DRIVER_INFO_6A) + model.size() + maker->second.size() + 2);
    if (buffer == nullptr || size < *needed) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    DRIVER_INFO_6A *info = (DRIVER_INFO_6A *)buffer;
    memset(info, 0, sizeof *info);
    char *strings = (char *)(info + 1);
    strcpy(strings, model.c_str());
    strcpy(strings + model.size() + 1, maker->second.c_str());
    info->pName = strings;
    info->pszMfgName = strings + model.size() + 1;
    return TRUE;
}

BOOL AbortPrinter(HANDLE handle) {
    Lock lock(StateMutex);
    TheState.jobs.at((uintptr_t)handle - 1).aborted = true;
    return TRUE;
}

BOOL ClosePrinter(HANDLE handle) {
    Lock lock(StateMutex);
    int index = (int)(uintptr_t)handle - 1;
    TheState.jobs.at(index).closed = true;
    TheState.openHandles--;
    if (index == TheState.closeFailJob) {
        LastError = ERROR_WRITE_FAULT;
        return FALSE;
    }
    return TRUE;
}

// Sockets: listeners are 100 and up, connections 1000 plus the client's index.
int WSAStartup(WORD, LPWSADATA) {
    TheState.startups++;
    return 0;
}
int WSACleanup(void) {
    TheState.cleanups++;
    return 0;
}
int WSAGetLastError(void) {
    return LastSocketError;
}

SOCKET socket(int family, int type, int protocol) {
    Lock lock(StateMutex);
    int call = TheState.socketCalls++;
    TheState.socketFamily = family;
    if ((family != AF_INET && family != AF_INET6) || type != SOCK_STREAM || protocol != 0 ||
        (family == AF_INET6 && TheState.noIpv6))
        LastSocketError = WSAEAFNOSUPPORT;
    else if (TheState.socketError != 0)
        LastSocketError = TheState.socketError;
    else if (call >= TheState.socketCallsAllowed)
        LastSocketError = WSAENOBUFS;
    else
        return (SOCKET)(100 + call);
    return INVALID_SOCKET;
}

int bind(SOCKET, const struct sockaddr *address, int length) {
    Lock lock(StateMutex);
    const struct sockaddr_in *ipv4 = (const struct sockaddr_in *)address;
    const struct sockaddr_in6 *ipv6 = (const struct sockaddr_in6 *)address;
    TheState.boundFamily = ipv4->sin_family;
    if (ipv4->sin_family == AF_INET6 && length == sizeof(struct sockaddr_in6)) {
        TheState.boundPort = ipv6->sin6_port;
        TheState.boundAddress6.assign((const char *)ipv6->sin6_addr.s6_addr, 16);
    } else if (length == sizeof(struct sockaddr_in) && ipv4->sin_family == AF_INET) {
        TheState.boundPort = ipv4->sin_port;
        TheState.boundAddress = ipv4->sin_addr.s_addr;
    } else {
        LastSocketError = WSAEFAULT;
        return SOCKET_ERROR;
    }
    if (TheState.bindError != 0) {
        LastSocketError = TheState.bindError;
        return SOCKET_ERROR;
    }
    return 0;
}

// Records the options the listener sets, each of 4 bytes: a DWORD, or a linger of two halves.
int setsockopt(SOCKET, int level, int name, const char *value, int length) {
    Lock lock(StateMutex);
    const char *label = level == IPPROTO_IPV6 && name == IPV6_V6ONLY ? "v6only"
                        : level == SOL_SOCKET && name == SO_RCVTIMEO ? "rcvtimeo"
                        : level == SOL_SOCKET && name == SO_LINGER   ? "linger"
                                                                     : nullptr;
    if (label == nullptr || length != 4)
        return LastSocketError = WSAEINVAL, SOCKET_ERROR;
    u_short halves[2];
    memcpy(halves, value, 4);
    TheState.options.push_back(std::string(label) + " " +
                               (name == SO_LINGER
                                    ? std::to_string(halves[0]) + " " + std::to_string(halves[1])
                                    : std::to_string(*(const DWORD *)value)));
    return 0;
}

// Fills the peer as the listener's family gives it: an IPv4 client of an IPv6 socket is mapped.
static int FillPeer(const Client &client, struct sockaddr *address) {
    if (TheState.socketFamily != AF_INET6) {
        struct sockaddr_in peer;
        memset(&peer, 0, sizeof peer);
        peer.sin_family = AF_INET;
        memcpy(&peer.sin_addr, client.address, 4);
        memcpy(address, &peer, sizeof peer);
        return sizeof peer;
    }
    struct sockaddr_in6 peer;
    memset(&peer, 0, sizeof peer);
    peer.sin6_family = AF_INET6;
    peer.sin6_scope_id = client.scope;
    if (client.address6.size() == 16) {
        memcpy(peer.sin6_addr.s6_addr, client.address6.data(), 16);
    } else {
        peer.sin6_addr.s6_addr[10] = peer.sin6_addr.s6_addr[11] = 0xFF;
        memcpy(peer.sin6_addr.s6_addr + 12, client.address, 4);
    }
    memcpy(address, &peer, sizeof peer);
    return sizeof peer;
}

int listen(SOCKET, int backlog) {
    Lock lock(StateMutex);
    int call = TheState.listenCalls++;
    TheState.backlog = backlog;
    bool idle = TheState.nextClient >= TheState.clients.size();
    bool fails = call == TheState.listenFailAt || Released ||
                 (TheState.listenFailAt < 0 && idle && !TheState.blockWhenIdle);
    if (fails) {
        LastSocketError = WSAENETDOWN;
        return SOCKET_ERROR;
    }
    return 0;
}

SOCKET accept(SOCKET, struct sockaddr *address, int *length) {
    if (!TheState.dnssdHold)
        fake::CompleteDnssd(); // the responder's answers come later, on their own threads
    std::unique_lock<std::recursive_mutex> lock(StateMutex);
    if (TheState.nextClient >= TheState.clients.size()) {
        AcceptWaiting = true;
        Changed.notify_all();
        Changed.wait(lock, [] { return Released; });
        LastSocketError = WSAEINTR;
        return INVALID_SOCKET;
    }
    size_t index = TheState.nextClient++;
    Client &client = TheState.clients[index];
    if (client.acceptFails) {
        LastSocketError = client.acceptError;
        return INVALID_SOCKET;
    }
    *length = FillPeer(client, address);
    if (TheState.onAccept)
        TheState.onAccept(index);
    return (SOCKET)(1000 + index);
}

int recv(SOCKET s, char *buffer, int length, int) {
    Lock lock(StateMutex);
    Client &client = TheState.clients.at(s - 1000);
    client.receiveSizes.push_back(length);
    if (client.step >= client.steps.size())
        return 0;
    Receive &step = client.steps[client.step];
    if (step.kind == Receive::Error) {
        client.step++;
        LastSocketError = step.error;
        return SOCKET_ERROR;
    }
    if (step.kind == Receive::Close) {
        client.step++;
        return 0;
    }
    size_t count = std::min(step.bytes.size(), (size_t)length);
    memcpy(buffer, step.bytes.data(), count);
    step.bytes.erase(0, count);
    if (step.bytes.empty())
        client.step++;
    return (int)count;
}

int closesocket(SOCKET s) {
    Lock lock(StateMutex);
    if (s >= 1000) {
        TheState.clients.at(s - 1000).closed = true;
        TheState.events.push_back("close connection");
    } else {
        TheState.closedListeners++;
        TheState.events.push_back("close listener");
    }
    return 0;
}

u_short htons(u_short value) {
    return (u_short)((value >> 8) | (value << 8));
}
uint32_t htonl(uint32_t value) {
    return __builtin_bswap32(value);
}

// Service manager.
static SC_HANDLE Handle(uintptr_t value) {
    return (SC_HANDLE)value;
}

static bool Fails(DWORD error) {
    LastError = error;
    return error != 0;
}

SC_HANDLE OpenSCManagerA(LPCSTR, LPCSTR, DWORD access) {
    if (Fails(TheState.managerError) || access != SC_MANAGER_ALL_ACCESS)
        return nullptr;
    TheState.managerHandles++;
    return Handle(0x5C);
}

SC_HANDLE CreateServiceA(SC_HANDLE, LPCSTR name, LPCSTR displayName, DWORD access, DWORD type,
                         DWORD startType, DWORD errorControl, LPCSTR binaryPath, LPCSTR, LPDWORD,
                         LPCSTR, LPCSTR account, LPCSTR) {
    Event("CreateServiceA");
    if (Fails(TheState.createError))
        return nullptr;
    ServiceRecord record{name, displayName, binaryPath,   access,
                         type, startType,   errorControl, account != nullptr};
    TheState.created.push_back(record);
    TheState.serviceHandles++;
    return Handle(0x5E);
}

SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR name, DWORD access) {
    Event(std::string("OpenServiceA ") + name);
    if (Fails(TheState.openError) || access != SERVICE_ALL_ACCESS)
        return nullptr;
    TheState.serviceHandles++;
    return Handle(0x5E);
}

BOOL StartServiceA(SC_HANDLE, DWORD count, LPCSTR *) {
    Event("StartServiceA " + std::to_string(count));
    return !Fails(TheState.startError);
}

BOOL ControlService(SC_HANDLE, DWORD control, LPSERVICE_STATUS) {
    size_t call = TheState.controlsSent.size();
    TheState.controlsSent.push_back(control);
    if (call < TheState.controlErrors.size())
        return !Fails(TheState.controlErrors[call]);
    return !Fails(TheState.controlError);
}

BOOL DeleteService(SC_HANDLE) {
    if (Fails(TheState.deleteError))
        return FALSE;
    TheState.deleted++;
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    if (handle == Handle(0x5C))
        TheState.managerHandles--;
    else
        TheState.serviceHandles--;
    return TRUE;
}

// The dispatcher: runs the service on its own thread, delivers the scripted controls on this
// thread once the service waits in accept, and returns when the service has reported stopped.
static LPHANDLER_FUNCTION Handler;
static bool ServiceDone;

static bool StoppedReported() {
    for (const auto &status : TheState.statuses)
        if (status.dwCurrentState == SERVICE_STOPPED)
            return true;
    return false;
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table) {
    if (Fails(TheState.dispatcherError))
        return FALSE;
    std::unique_lock<std::recursive_mutex> lock(StateMutex);
    ServiceDone = false;
    Handler = nullptr;
    LPSERVICE_MAIN_FUNCTIONA serviceMain = table[0].lpServiceProc;
    TheState.events.push_back(std::string("dispatch ") + table[0].lpServiceName);
    std::thread service([serviceMain] {
        serviceMain(0, nullptr);
        Lock done(StateMutex);
        ServiceDone = true;
        Changed.notify_all();
    });
    Changed.wait(lock, [] { return ServiceDone || StoppedReported() || AcceptWaiting; });
    if (!ServiceDone && !StoppedReported() && Handler != nullptr) {
        for (DWORD control : TheState.controls) {
            lock.unlock();
            Handler(control); // the manager's controls arrive on the dispatcher's thread
            lock.lock();
        }
    }
    Changed.wait(lock, [] { return ServiceDone || StoppedReported(); });
    TheState.statusesAtReturn = TheState.statuses.size();
    Released = true;
    Changed.notify_all();
    lock.unlock();
    service.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR name, LPHANDLER_FUNCTION handler) {
    Event(std::string("RegisterServiceCtrlHandlerA ") + name);
    if (Fails(TheState.registerError))
        return nullptr;
    Lock lock(StateMutex);
    Handler = handler;
    return (SERVICE_STATUS_HANDLE)(uintptr_t)0x55;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    Lock lock(StateMutex);
    TheState.statuses.push_back(*status);
    TheState.statusHandles.push_back(handle);
    TheState.events.push_back("SetServiceStatus " + std::to_string(status->dwCurrentState));
    Changed.notify_all();
    return TRUE;
}

// Process, console and run-time.
DWORD GetLastError(void) {
    return LastError;
}
void SetLastError(DWORD error) {
    LastError = error;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR name, DWORD size) {
    if (TheState.moduleFails || TheState.modulePath.size() >= size)
        return 0;
    strcpy(name, TheState.modulePath.c_str());
    return (DWORD)TheState.modulePath.size();
}

// Text: a code page of one byte per character, Windows-1252 for the characters tests use.
UINT GetACP(void) {
    return TheState.activeCodePage;
}

// Lead bytes of code page 932 (Shift JIS); the other code pages of the double have none.
BOOL IsDBCSLeadByte(BYTE c) {
    return TheState.activeCodePage == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

static std::u16string CommandLine = u"(wide command line)";

LPWSTR GetCommandLineW(void) {
    return CommandLine.data();
}

LPWSTR *CommandLineToArgvW(LPCWSTR commandLine, int *count) {
    static std::vector<std::u16string> split;
    static std::vector<LPWSTR> pointers;
    if (TheState.wideFails || commandLine != CommandLine.data())
        return nullptr;
    TheState.wideSplits++;
    split = TheState.wideArguments;
    pointers.clear();
    for (auto &argument : split)
        pointers.push_back(argument.data());
    *count = (int)pointers.size();
    return pointers.data();
}

// UTF-16 to UTF-8 and back, as the system converts under a UTF-8 code page.
static std::string Utf8(std::u16string_view wide) {
    std::string text;
    for (size_t i = 0; i < wide.size(); i++) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size())
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        if (c < 0x80) {
            text += char(c);
        } else if (c < 0x800) {
            text += char(0xC0 | c >> 6);
            text += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += char(0xE0 | c >> 12);
            text += char(0x80 | ((c >> 6) & 0x3F));
            text += char(0x80 | (c & 0x3F));
        } else {
            text += char(0xF0 | c >> 18);
            text += char(0x80 | ((c >> 12) & 0x3F));
            text += char(0x80 | ((c >> 6) & 0x3F));
            text += char(0x80 | (c & 0x3F));
        }
    }
    return text;
}

static std::u16string Utf16(const std::string &text) {
    std::u16string wide;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        char32_t point = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t k = 1; k <= extra && i + k < text.size(); k++)
            point = point << 6 | ((unsigned char)text[i + k] & 0x3F);
        i += extra + 1;
        if (point >= 0x10000) {
            wide += char16_t(0xD800 + ((point - 0x10000) >> 10));
            wide += char16_t(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            wide += char16_t(point);
        }
    }
    return wide;
}

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int count, LPWSTR wide, int size) {
    if ((codePage != CP_ACP && codePage != CP_UTF8) || count != -1) {
        LastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    std::u16string converted;
    if (codePage == CP_UTF8 || TheState.activeCodePage == CP_UTF8)
        converted = Utf16(text);
    else
        for (const char *c = text; *c != '\0'; c++)
            converted += char16_t((unsigned char)*c);
    if ((int)converted.size() + 1 > size) {
        LastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::copy(converted.begin(), converted.end(), wide);
    wide[converted.size()] = 0;
    return (int)converted.size() + 1;
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR out,
                        int outSize, LPCSTR, BOOL *usedDefault) {
    if ((codePage != CP_ACP && codePage != CP_UTF8) || wideCount != -1) {
        LastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    std::string converted;
    if (codePage == CP_UTF8 || TheState.activeCodePage == CP_UTF8) {
        converted = Utf8(wide);
        if ((int)converted.size() + 1 > outSize)
            return 0;
        memcpy(out, converted.c_str(), converted.size() + 1);
        return (int)converted.size() + 1;
    }
    for (; *wide != 0; wide++) {
        char16_t c = *wide;
        bool bestFit = (flags & WC_NO_BEST_FIT_CHARS) == 0;
        if (c < 0x100)
            converted += char(c);
        else if (bestFit && (c == u'Ł' || c == u'ł'))
            converted += c == u'Ł' ? 'L' : 'l';
        else {
            converted += '?';
            if (usedDefault != nullptr)
                *usedDefault = TRUE;
        }
    }
    if ((int)converted.size() + 1 > outSize) {
        LastError = 122; // ERROR_INSUFFICIENT_BUFFER
        return 0;
    }
    memcpy(out, converted.c_str(), converted.size() + 1);
    return (int)converted.size() + 1;
}

HLOCAL LocalFree(HLOCAL) {
    TheState.localFrees++;
    return nullptr;
}

BOOL GetComputerNameExA(COMPUTER_NAME_FORMAT type, LPSTR buffer, LPDWORD size) {
    const std::string &name =
        type == ComputerNameDnsHostname ? TheState.dnsHostName : TheState.computerName;
    if (name.size() + 1 > *size) {
        *size = DWORD(name.size() + 1);
        return FALSE;
    }
    strcpy(buffer, name.c_str());
    *size = DWORD(name.size());
    return TRUE;
}

// DNS-SD as Microsoft documents it: Register and DeRegister answer DNS_REQUEST_PENDING, and each
// completion comes later, on a thread of its own, with a copy of the instance the caller frees.
struct FakeInstance {
    DNS_SERVICE_INSTANCE instance;
    std::u16string name;
};

// A copy of an instance, as the system hands to a completion.
static PDNS_SERVICE_INSTANCE CopyInstance(const std::u16string &name) {
    FakeInstance *made = new FakeInstance{};
    made->name = name;
    made->instance.pszInstanceName = made->name.data();
    TheState.instancesLive++;
    return &made->instance;
}

void fake::CompleteDnssd() {
    std::vector<Completion> due;
    {
        Lock lock(StateMutex);
        due.swap(Completions);
    }
    for (const Completion &done : due) {
        PDNS_SERVICE_INSTANCE answer = nullptr;
        if (done.status == 0) {
            Lock lock(StateMutex);
            answer = CopyInstance(done.name);
        }
        std::thread responder([&done, answer] {
            done.request->pRegisterCompletionCallback(done.status, done.context, answer);
        });
        responder.join();
    }
}

PDNS_SERVICE_INSTANCE DnsServiceConstructInstance(PCWSTR service, PCWSTR host, PIP4_ADDRESS,
                                                  PIP6_ADDRESS, WORD port, WORD, WORD, DWORD count,
                                                  PCWSTR *keys, PCWSTR *values) {
    Lock lock(StateMutex);
    Registration built{Utf8(service), Utf8(host), port, {}};
    for (DWORD i = 0; i < count; i++)
        built.txt.push_back(Utf8(keys[i]) + "=" + Utf8(values[i]));
    TheState.registrations.push_back(built);
    PDNS_SERVICE_INSTANCE made = CopyInstance(service);
    made->wPort = port;
    made->dwPropertyCount = count;
    return made;
}

void DnsServiceFreeInstance(PDNS_SERVICE_INSTANCE instance) {
    Lock lock(StateMutex);
    TheState.instancesLive--;
    delete (FakeInstance *)instance; // the instance is the record's first member
}

DWORD DnsServiceRegister(PDNS_SERVICE_REGISTER_REQUEST request, PDNS_SERVICE_CANCEL cancel) {
    Event("DnsServiceRegister");
    Lock lock(StateMutex);
    if (TheState.registerResult != DNS_REQUEST_PENDING)
        return TheState.registerResult;
    std::u16string name = request->pServiceInstance->pszInstanceName;
    if (!TheState.completedName.empty())
        name = Utf16(TheState.completedName) + u"._pdl-datastream._tcp.local";
    Completions.push_back(
        {request, request->pQueryContext, TheState.completionStatus, name, cancel});
    return DNS_REQUEST_PENDING;
}

DWORD DnsServiceDeRegister(PDNS_SERVICE_REGISTER_REQUEST request, PDNS_SERVICE_CANCEL) {
    Event("DnsServiceDeRegister");
    Lock lock(StateMutex);
    TheState.deregistrations++;
    Completions.push_back(
        {request, request->pQueryContext, 0, request->pServiceInstance->pszInstanceName, nullptr});
    return DNS_REQUEST_PENDING;
}

DWORD DnsServiceRegisterCancel(PDNS_SERVICE_CANCEL cancel) {
    Event("DnsServiceRegisterCancel");
    Lock lock(StateMutex);
    for (Completion &pending : Completions)
        if (pending.cancel == cancel && !TheState.cancelIgnored)
            pending.status = 1223; // ERROR_CANCELLED
    return ERROR_SUCCESS;
}

HMODULE LoadLibraryExA(LPCSTR name, HANDLE, DWORD flags) {
    TheState.libraryLoads++;
    if (flags != LOAD_LIBRARY_SEARCH_SYSTEM32) { // the service runs as LocalSystem: no planted copy
        LastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (TheState.dnsapiMissing || strcasecmp(name, "dnsapi.dll") != 0) {
        LastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    return (HMODULE)(uintptr_t)0xD115;
}

FARPROC GetProcAddress(HMODULE, LPCSTR name) {
    typedef void (*AnyCall)(void);
    const std::pair<const char *, AnyCall> calls[] = {
        {"DnsServiceConstructInstance", (AnyCall)DnsServiceConstructInstance},
        {"DnsServiceFreeInstance", (AnyCall)DnsServiceFreeInstance},
        {"DnsServiceRegister", (AnyCall)DnsServiceRegister},
        {"DnsServiceDeRegister", (AnyCall)DnsServiceDeRegister},
        {"DnsServiceRegisterCancel", (AnyCall)DnsServiceRegisterCancel},
    };
    for (const auto &[export_, call] : calls)
        if (!TheState.dnssdCallsMissing && strcmp(export_, name) == 0)
            return (FARPROC)call;
    LastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
}

int HostExitStatus(DWORD failureCode) {
    return TheState.exitStatusCarriesFailure ? (int)failureCode : 0;
}

bool ReadHandedSetting(HandedSetting setting, char *buffer, size_t capacity) {
    Lock lock(StateMutex);
    auto found = TheState.handed.find(setting);
    if (found == TheState.handed.end())
        return false;
    snprintf(buffer, capacity, "%s", found->second.size() < capacity ? found->second.c_str() : "");
    return true;
}

void HostScopeName(unsigned long scope, char *buffer, size_t capacity) {
    snprintf(buffer, capacity, "if%lu", scope);
}

void HostBetweenJobs(uintptr_t, const char *, HostLogWriter) {
    Lock lock(StateMutex);
    TheState.betweenJobs++;
}

BOOL FreeConsole(void) {
    TheState.freeConsoleCalls++;
    return TRUE;
}

void AcquireSRWLockExclusive(PSRWLOCK lock) {
    while (__atomic_exchange_n(&lock->Ptr, (void *)1, __ATOMIC_ACQUIRE) != nullptr)
        sched_yield();
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    __atomic_store_n(&lock->Ptr, nullptr, __ATOMIC_RELEASE);
}

int _stricmp(const char *left, const char *right) {
    return strcasecmp(left, right);
}

static thread_local unsigned long DosError;

unsigned long *HostDosErrno(void) {
    return &DosError;
}

FILE *_fsopen(const char *name, const char *mode, int share) {
    Lock lock(StateMutex); // both threads of the service write the log
    TheState.logShares.push_back(share);
    bool denied = TheState.logBusy || (share != _SH_DENYNO && TheState.logBusyOpens > 0);
    if (share != _SH_DENYNO && TheState.logBusyOpens > 0)
        TheState.logBusyOpens--;
    if (denied) {
        DosError = ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    return fopen(name, mode);
}

void Sleep(DWORD milliseconds) {
    Lock lock(StateMutex);
    TheState.sleptMs += milliseconds;
}

// DNS-SD backend over dnsapi.dll, whose calls are found at run time, so that the program still
// starts on a system that lacks them (Windows before 10 version 1903, or Wine).
//
// The calls are used as Microsoft documents them, and no further: DnsServiceRegister and
// DnsServiceDeRegister answer DNS_REQUEST_PENDING and call the completion later, on another
// thread, with an instance the caller frees; the withdrawal's completion comes too. Each
// registration carries its own generation in pQueryContext, so a late completion (of a withdrawal,
// or of a registration withdrawn since) is told apart from the current one: it logs nothing and is
// freed. A registration not yet completed is cancelled with DnsServiceRegisterCancel. What the
// system does on a collision is not documented: the completion's instance name, with the known
// type suffix stripped from the right, is taken as the name announced.

#include "advertise/dnssd_backend.h"

#include "platform/platform.h"

#include <stdint.h>
#include <string.h>

#ifndef DNS_REQUEST_PENDING
#define DNS_REQUEST_PENDING 9506L
#endif

typedef PDNS_SERVICE_INSTANCE(WINAPI *ConstructInstanceCall)(PCWSTR, PCWSTR, PIP4_ADDRESS,
                                                             PIP6_ADDRESS, WORD, WORD, WORD, DWORD,
                                                             PCWSTR *, PCWSTR *);
typedef void(WINAPI *FreeInstanceCall)(PDNS_SERVICE_INSTANCE);
typedef DWORD(WINAPI *RegisterCall)(PDNS_SERVICE_REGISTER_REQUEST, PDNS_SERVICE_CANCEL);
typedef DWORD(WINAPI *CancelCall)(PDNS_SERVICE_CANCEL);

enum {
    WIDE_SIZE = ADVERT_TXT_SIZE, // one string: at most 255 bytes of UTF-8, so as many units
    SERVICE_SIZE = 2 * ADVERT_NAME_SIZE + 32, // every character of the name escaped, and the type
    SLOTS = 4, // requests in flight: the current one, and withdrawals still to complete
};

static const char TypeSuffix[] = "._pdl-datastream._tcp.local";

static ConstructInstanceCall ConstructInstance;
static FreeInstanceCall FreeInstance;
static RegisterCall Register;
static RegisterCall DeRegister;
static CancelCall RegisterCancel;

// Each registration's request and cancel handle stay as they were until the system is done with
// them: a slot is used again only once its withdrawal has completed.
static DNS_SERVICE_REGISTER_REQUEST Requests[SLOTS];
static DNS_SERVICE_CANCEL Cancels[SLOTS];
static PDNS_SERVICE_INSTANCE Built; // the instance of this run, registered again after a withdrawal
static SRWLOCK Lock = SRWLOCK_INIT; // the generation below, shared with the completions
static uintptr_t Issued;            // the last generation handed out
static uintptr_t Current;           // the generation in force; 0 while none is registered
static int CurrentSlot;             // ... and the slot of its request
static uintptr_t Held[SLOTS];       // the generation whose request the system holds; 0 free
static bool Withdrawn[SLOTS];       // ... and that awaits its withdrawal's completion
static bool Completed;              // the registration in force has completed
static bool Refused;                // ... and the system refused it
static char Asked[ADVERT_NAME_SIZE];
static const DnssdOutcomes *Told; // the advertising module's handlers

// Finds the DNS-SD calls; false when the system offers none of them.
bool DnssdFind(const DnssdOutcomes *outcomes) {
    Told = outcomes;
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
    RegisterCancel = (CancelCall)(AnyCall)GetProcAddress(dnsapi, "DnsServiceRegisterCancel");
    return ConstructInstance != NULL && FreeInstance != NULL && Register != NULL &&
           DeRegister != NULL && RegisterCancel != NULL;
}

// Makes UTF-8 text wide, cut to the buffer; "" when it cannot be converted.
static void ToWide(const char *text, WCHAR *wide, int capacity) {
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, capacity) <= 0)
        wide[0] = 0;
}

// Builds "<name>._pdl-datastream._tcp.local" in UTF-8, a dot or backslash of the name escaped,
// so that a name such as "Floor 2. Office" stays one label.
static void EscapeName(const char *name, char *service, size_t capacity, bool withType) {
    size_t at = 0;
    for (; *name != '\0' && at + 2 < capacity; name++) {
        if (*name == '.' || *name == '\\')
            service[at++] = '\\';
        service[at++] = *name;
    }
    service[at] = '\0';
    if (withType && at + sizeof TypeSuffix <= capacity)
        memcpy(service + at, TypeSuffix, sizeof TypeSuffix);
}

// Undoes the escapes of a label: "\." and "\\" and the decimal "\DDD" of a byte.
static void Unescape(char *label) {
    char *to = label;
    for (const char *from = label; *from != '\0'; from++) {
        bool decimal = from[0] == '\\' && from[1] >= '0' && from[1] <= '2' && from[2] >= '0' &&
                       from[2] <= '9' && from[3] >= '0' && from[3] <= '9';
        if (decimal) {
            *to++ = (char)((from[1] - '0') * 100 + (from[2] - '0') * 10 + (from[3] - '0'));
            from += 3;
        } else {
            if (from[0] == '\\' && from[1] != '\0')
                from++;
            *to++ = *from;
        }
    }
    *to = '\0';
}

// Builds the instance of this run from the advertisement; false when the system cannot.
static bool Construct(const Advertisement *advert) {
    static WCHAR service[SERVICE_SIZE];
    static WCHAR host[ADVERT_HOST_SIZE];
    static WCHAR keys[ADVERT_TXT_COUNT][16];
    static WCHAR values[ADVERT_TXT_COUNT][WIDE_SIZE];
    char escaped[SERVICE_SIZE];
    PCWSTR keyList[ADVERT_TXT_COUNT];
    PCWSTR valueList[ADVERT_TXT_COUNT];
    EscapeName(advert->name, escaped, sizeof escaped, true);
    ToWide(escaped, service, SERVICE_SIZE);
    ToWide(advert->host, host, ADVERT_HOST_SIZE);
    DWORD count = 0;
    for (int i = 0; i < advert->txtCount && i < ADVERT_TXT_COUNT; i++, count++) {
        ToWide(advert->keys[i], keys[i], 16);
        ToWide(advert->values[i], values[i], WIDE_SIZE);
        keyList[i] = keys[i];
        valueList[i] = values[i];
    }
    memcpy(Asked, advert->name, sizeof Asked);
    Built =
        ConstructInstance(service, host, NULL, NULL, advert->port, 0, 0, count, keyList, valueList);
    return Built != NULL;
}

// The name a completion's instance announces: the one asked for, unless the responder's name,
// its type suffix stripped from the right, is another.
static void AnnouncedName(PDNS_SERVICE_INSTANCE instance, char *name, size_t capacity) {
    char full[3 * SERVICE_SIZE];
    char escaped[SERVICE_SIZE];
    memcpy(name, Asked, capacity < sizeof Asked ? capacity : sizeof Asked);
    name[capacity - 1] = '\0';
    if (instance == NULL || instance->pszInstanceName == NULL ||
        WideCharToMultiByte(CP_UTF8, 0, instance->pszInstanceName, -1, full, sizeof full, NULL,
                            NULL) <= 0)
        return;
    size_t length = strlen(full), suffix = strlen(TypeSuffix);
    if (length >= suffix && _stricmp(full + length - suffix, TypeSuffix) == 0)
        full[length - suffix] = '\0';
    EscapeName(Asked, escaped, sizeof escaped, false);
    if (full[0] == '\0' || strcmp(full, escaped) == 0 || strcmp(full, Asked) == 0)
        return;
    Unescape(full);
    size_t copied = strlen(full) < capacity - 1 ? strlen(full) : capacity - 1;
    while (copied > 0 && copied < strlen(full) && ((unsigned char)full[copied] & 0xC0) == 0x80)
        copied--; // never half a character
    memcpy(name, full, copied);
    name[copied] = '\0';
}

// The responder's answer, on its own thread: the current registration's is told, any other
// (a withdrawal's, or one withdrawn since) only freed.
static void WINAPI Complete(DWORD status, void *context, PDNS_SERVICE_INSTANCE instance) {
    AcquireSRWLockExclusive(&Lock);
    for (int slot = 0; slot < SLOTS; slot++)
        if (Held[slot] == (uintptr_t)context && (Withdrawn[slot] || status != ERROR_SUCCESS))
            Held[slot] = 0; // the system is done with the request: the slot may be used again
    if (Current != 0 && (uintptr_t)context == Current && !Completed) {
        char name[ADVERT_TXT_SIZE];
        Completed = true;
        Refused = status != ERROR_SUCCESS;
        if (Refused) {
            Told->refused(status);
        } else {
            AnnouncedName(instance, name, sizeof name);
            Told->announced(name);
        }
    }
    ReleaseSRWLockExclusive(&Lock);
    if (instance != NULL)
        FreeInstance(instance);
}

// A slot whose request the system no longer holds, the lock held; -1 when every slot still
// awaits a withdrawal's completion: its request must stay as it was.
static int FreeSlot(void) {
    for (int slot = 0; slot < SLOTS; slot++)
        if (Held[slot] == 0)
            return slot;
    return -1;
}

// Frees a slot that the system is done with, unless it was handed out again since.
static void ReleaseSlot(int slot, uintptr_t generation) {
    AcquireSRWLockExclusive(&Lock);
    if (Held[slot] == generation)
        Held[slot] = 0;
    ReleaseSRWLockExclusive(&Lock);
}

// Registers this run's instance under a new generation; 0 when the system took the request.
unsigned long DnssdRegister(const Advertisement *advert) {
    if (Built == NULL && !Construct(advert)) {
        DWORD error = GetLastError();
        return error != 0 ? error : (unsigned long)ADVERT_STATUS_NO_MEMORY;
    }
    AcquireSRWLockExclusive(&Lock);
    int slot = FreeSlot();
    if (slot < 0) {
        ReleaseSRWLockExclusive(&Lock);
        return ADVERT_STATUS_NO_MEMORY;
    }
    uintptr_t generation = ++Issued;
    Held[slot] = generation;
    Withdrawn[slot] = false;
    memset(&Requests[slot], 0, sizeof Requests[slot]);
    memset(&Cancels[slot], 0, sizeof Cancels[slot]);
    Requests[slot].Version = DNS_QUERY_REQUEST_VERSION1;
    Requests[slot].pServiceInstance = Built;
    Requests[slot].pRegisterCompletionCallback = Complete;
    Requests[slot].pQueryContext = (void *)generation;
    Current = generation;
    CurrentSlot = slot;
    Completed = Refused = false;
    ReleaseSRWLockExclusive(&Lock);
    DWORD status = Register(&Requests[slot], &Cancels[slot]);
    if (status == (DWORD)DNS_REQUEST_PENDING || status == ERROR_SUCCESS)
        return 0;
    AcquireSRWLockExclusive(&Lock);
    if (Current == generation)
        Current = 0;
    Held[slot] = 0;
    ReleaseSRWLockExclusive(&Lock);
    return status;
}

// Withdraws the registration in force: cancelled while pending, else deregistered. Once this
// returns, no completion of it is told.
void DnssdWithdraw(void) {
    AcquireSRWLockExclusive(&Lock);
    uintptr_t generation = Current;
    int slot = CurrentSlot;
    bool completed = Completed, refused = Refused;
    Current = 0;
    if (generation != 0 && !refused)
        Withdrawn[slot] = true; // held until the withdrawal's completion
    ReleaseSRWLockExclusive(&Lock);
    if (generation == 0 || refused)
        return;
    // A cancel that fails finds the registration completed since: it is deregistered instead.
    if (!completed && RegisterCancel(&Cancels[slot]) == ERROR_SUCCESS) {
        ReleaseSlot(slot, generation); // a cancelled request is done with at once
        return;
    }
    DWORD status = DeRegister(&Requests[slot], NULL);
    if (status != (DWORD)DNS_REQUEST_PENDING && status != ERROR_SUCCESS) {
        ReleaseSlot(slot, generation); // no completion follows a withdrawal refused
        Told->withdrawFailed(status);
    }
}

// Gives back the instance an earlier run built; its late completions are told apart by their
// generation.
void DnssdForget(void) {
    AcquireSRWLockExclusive(&Lock);
    Current = 0;
    memset(Held, 0, sizeof Held); // a run afresh: no request of an earlier one is waited for
    ReleaseSRWLockExclusive(&Lock);
    if (Built != NULL && FreeInstance != NULL)
        FreeInstance(Built);
    Built = NULL;
}

// Host layer: the DNS-SD calls of dnsapi.dll over the system's Avahi daemon, reached with
// libavahi-client over D-Bus, and LoadLibraryExA and GetProcAddress, which find them.
//
// One registration at a time (the relay advertises its one instance). Avahi runs its client on a
// thread of its own (a threaded poll), where the completion is called, as on Windows. The relay
// never waits for Avahi: a machine without it, or an Avahi that stops or restarts, leaves the
// relay serving. Each outage is said once on standard error (the journal under systemd), and the
// service is registered again when Avahi is back. A name that another service holds is renamed as
// Avahi offers ("Office #2"), and the completion then tells the new name. The process's end, a
// stop signal included, withdraws the registration: Avahi drops the records of a client that is
// gone.

#include "platform/host/win32.h"

#include "platform/host/host_internal.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

enum {
    INSTANCE_SLOTS = 4,   // the registered instance, and those handed to completions
    MAX_PROPERTIES = 16,  // TXT strings of one instance
    TEXT_SIZE = 256,      // one name or one key=value string, UTF-8
    WIDE_TEXT_SIZE = 256, // one wide string
    RETRY_SECONDS = 5,    // before a client that could not be made is tried again
};

struct HostInstance {
    bool inUse;
    DNS_SERVICE_INSTANCE instance;
    WCHAR name[WIDE_TEXT_SIZE];
    WCHAR host[WIDE_TEXT_SIZE];
    WCHAR keys[MAX_PROPERTIES][WIDE_TEXT_SIZE];
    WCHAR values[MAX_PROPERTIES][WIDE_TEXT_SIZE];
    PWSTR keyList[MAX_PROPERTIES];
    PWSTR valueList[MAX_PROPERTIES];
};

static HostInstance Instances[INSTANCE_SLOTS];
static pthread_mutex_t InstancesLock = PTHREAD_MUTEX_INITIALIZER;

// The registration, touched on the poll's thread or with the poll stopped or locked.
static AvahiThreadedPoll *Poll;
static AvahiClient *Client;
static AvahiEntryGroup *Group;
static AvahiStringList *Txt;
static PDNS_SERVICE_REGISTER_REQUEST Pending;
static char Name[TEXT_SIZE];     // the instance name, renamed after a collision
static char Reported[TEXT_SIZE]; // the name the completion told last
static char Type[TEXT_SIZE];     // "_pdl-datastream._tcp"
static uint16_t Port;
static bool OutageSaid;

static void NewClient(void);

// Copies wide text into a buffer of WIDE_TEXT_SIZE units, cut when longer.
static void CopyWide(WCHAR *to, PCWSTR from) {
    size_t i = 0;
    for (; from != NULL && from[i] != 0 && i + 1 < WIDE_TEXT_SIZE; i++)
        to[i] = from[i];
    to[i] = 0;
}

// Converts wide text to UTF-8; false when it does not fit.
static bool WideToUtf8(PCWSTR wide, char *text, size_t capacity) {
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, (int)capacity, NULL, NULL) > 0;
}

// Converts UTF-8 text to wide, cut to WIDE_TEXT_SIZE units.
static void Utf8ToWide(const char *text, WCHAR *wide) {
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, WIDE_TEXT_SIZE) <= 0)
        wide[0] = 0;
}

// Fills a free slot with an instance; NULL when all are taken.
static PDNS_SERVICE_INSTANCE FillInstance(PCWSTR name, PCWSTR host, WORD port, DWORD count,
                                          PCWSTR *keys, PCWSTR *values) {
    if (count > MAX_PROPERTIES)
        return NULL;
    pthread_mutex_lock(&InstancesLock);
    HostInstance *slot = NULL;
    for (int i = 0; i < INSTANCE_SLOTS && slot == NULL; i++) {
        if (!Instances[i].inUse)
            slot = &Instances[i];
    }
    if (slot != NULL)
        slot->inUse = true;
    pthread_mutex_unlock(&InstancesLock);
    if (slot == NULL)
        return NULL;
    memset(&slot->instance, 0, sizeof slot->instance);
    CopyWide(slot->name, name);
    CopyWide(slot->host, host);
    for (DWORD i = 0; i < count; i++) {
        CopyWide(slot->keys[i], keys[i]);
        CopyWide(slot->values[i], values[i]);
        slot->keyList[i] = slot->keys[i];
        slot->valueList[i] = slot->values[i];
    }
    slot->instance.pszInstanceName = slot->name;
    slot->instance.pszHostName = slot->host;
    slot->instance.wPort = port;
    slot->instance.dwPropertyCount = count;
    slot->instance.keys = slot->keyList;
    slot->instance.values = slot->valueList;
    return &slot->instance;
}

// Builds an instance of a service; NULL, with 8, when no slot is free or there are too many
// properties.
PDNS_SERVICE_INSTANCE DnsServiceConstructInstance(PCWSTR serviceName, PCWSTR hostName, PIP4_ADDRESS,
                                                  PIP6_ADDRESS, WORD port, WORD, WORD, DWORD count,
                                                  PCWSTR *keys, PCWSTR *values) {
    PDNS_SERVICE_INSTANCE instance = FillInstance(serviceName, hostName, port, count, keys, values);
    if (instance == NULL)
        SetHostError(ERROR_NOT_ENOUGH_MEMORY);
    return instance;
}

// Gives an instance's slot back.
void DnsServiceFreeInstance(PDNS_SERVICE_INSTANCE instance) {
    pthread_mutex_lock(&InstancesLock);
    for (int i = 0; i < INSTANCE_SLOTS; i++) {
        if (&Instances[i].instance == instance)
            Instances[i].inUse = false;
    }
    pthread_mutex_unlock(&InstancesLock);
}

// Splits "<instance>.<type>.local" at its first unescaped dot: the instance unescaped, the type
// without its domain.
static bool SplitServiceName(const char *full, char *instance, char *type) {
    size_t at = 0;
    for (; *full != '\0' && *full != '.'; full++) {
        if (*full == '\\' && full[1] != '\0')
            full++;
        if (at + 1 >= TEXT_SIZE)
            return false;
        instance[at++] = *full;
    }
    instance[at] = '\0';
    if (*full != '.' || at == 0)
        return false;
    snprintf(type, TEXT_SIZE, "%s", full + 1);
    size_t length = strlen(type);
    if (length > 6 && strcasecmp(type + length - 6, ".local") == 0)
        type[length - 6] = '\0';
    return type[0] != '\0';
}

// Says on standard error, once until the service is announced again, that it is not announced.
static void SayOutage(const char *reason) {
    if (OutageSaid)
        return;
    OutageSaid = true;
    fprintf(stderr, "DNS-SD: %s: not advertised until Avahi runs; the relay serves on\n", reason);
    fflush(stderr);
}

// Tells the completion the name Avahi announces, when it is not the one told last.
static void Complete(void) {
    OutageSaid = false;
    if (strcmp(Name, Reported) == 0 || Pending == NULL ||
        Pending->pRegisterCompletionCallback == NULL)
        return;
    snprintf(Reported, sizeof Reported, "%s", Name);
    char full[2 * TEXT_SIZE + 8];
    size_t at = 0;
    for (const char *c = Name; *c != '\0' && at + 2 < TEXT_SIZE; c++) {
        if (*c == '.' || *c == '\\')
            full[at++] = '\\';
        full[at++] = *c;
    }
    snprintf(full + at, sizeof full - at, ".%s.local", Type);
    WCHAR name[WIDE_TEXT_SIZE];
    Utf8ToWide(full, name);
    const DNS_SERVICE_INSTANCE *registered = Pending->pServiceInstance;
    PDNS_SERVICE_INSTANCE answer = FillInstance(name, registered->pszHostName, Port, 0, NULL, NULL);
    Pending->pRegisterCompletionCallback(ERROR_SUCCESS, Pending->pQueryContext, answer);
}

static void AddService(void);

// Takes the name Avahi offers in place of one that is taken, and announces again.
static void Rename(void) {
    char *alternative = avahi_alternative_service_name(Name);
    if (alternative != NULL) {
        snprintf(Name, sizeof Name, "%s", alternative);
        avahi_free(alternative);
    }
    if (Group != NULL)
        avahi_entry_group_reset(Group);
    AddService();
}

// Follows the announcement: established, or taken by another service.
static void OnGroup(AvahiEntryGroup *group, AvahiEntryGroupState state, void *) {
    if (group != Group)
        return;
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED)
        Complete();
    else if (state == AVAHI_ENTRY_GROUP_COLLISION)
        Rename();
    else if (state == AVAHI_ENTRY_GROUP_FAILURE)
        SayOutage(avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
}

// Announces the service under the current name.
static void AddService(void) {
    if (Client == NULL)
        return;
    if (Group == NULL)
        Group = avahi_entry_group_new(Client, OnGroup, NULL);
    if (Group == NULL) {
        SayOutage(avahi_strerror(avahi_client_errno(Client)));
        return;
    }
    int result = avahi_entry_group_add_service_strlst(Group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                      (AvahiPublishFlags)0, Name, Type, NULL, NULL,
                                                      Port, Txt);
    if (result == AVAHI_ERR_COLLISION) {
        Rename();
        return;
    }
    if (result >= 0)
        result = avahi_entry_group_commit(Group);
    if (result < 0)
        SayOutage(avahi_strerror(result));
}

// Makes a client on Avahi's thread: at the start, and again after a pause.
static void OnRetry(AvahiTimeout *timeout, void *) {
    avahi_threaded_poll_get(Poll)->timeout_free(timeout);
    NewClient();
}

// Follows the daemon: announce once it runs, again after it restarted; wait while it is absent.
static void OnClient(AvahiClient *client, AvahiClientState state, void *) {
    Client = client; // also called from within avahi_client_new, before it returns
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        AddService();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host's own name is being settled: announce again once it is.
        if (Group != NULL)
            avahi_entry_group_reset(Group);
        break;
    case AVAHI_CLIENT_CONNECTING:
        SayOutage("Avahi is not running");
        break;
    case AVAHI_CLIENT_FAILURE:
        // The daemon went away (stopped or restarting): a new client waits for it to return.
        SayOutage(avahi_strerror(avahi_client_errno(client)));
        avahi_client_free(client);
        Client = NULL;
        Group = NULL;
        Reported[0] = '\0';
        NewClient();
        break;
    }
}

// Makes a client that waits for the daemon; when even that fails (no system bus), tries again
// later.
static void NewClient(void) {
    int error = 0;
    Group = NULL;
    Client = avahi_client_new(avahi_threaded_poll_get(Poll), AVAHI_CLIENT_NO_FAIL, OnClient, NULL,
                              &error);
    if (Client != NULL)
        return;
    SayOutage(avahi_strerror(error));
    struct timeval when;
    avahi_elapse_time(&when, RETRY_SECONDS * 1000, 0);
    avahi_threaded_poll_get(Poll)->timeout_new(avahi_threaded_poll_get(Poll), &when, OnRetry, NULL);
}

// Builds the TXT strings "key=value" of the instance; false when one does not fit.
static bool BuildTxt(const DNS_SERVICE_INSTANCE *instance) {
    Txt = NULL;
    for (DWORD i = instance->dwPropertyCount; i > 0; i--) {
        char key[TEXT_SIZE];
        char value[TEXT_SIZE];
        char pair[2 * TEXT_SIZE];
        if (!WideToUtf8(instance->keys[i - 1], key, sizeof key) ||
            !WideToUtf8(instance->values[i - 1], value, sizeof value))
            return false;
        snprintf(pair, sizeof pair, "%s=%s", key, value);
        Txt = avahi_string_list_add(Txt, pair);
    }
    return true;
}

// Announces the instance of the request through Avahi; the completion follows on Avahi's thread.
// DNS_REQUEST_PENDING, or an error number when the request cannot be taken.
DWORD DnsServiceRegister(PDNS_SERVICE_REGISTER_REQUEST request, PDNS_SERVICE_CANCEL) {
    char full[TEXT_SIZE * 2];
    if (request == NULL || request->pServiceInstance == NULL || Poll != NULL)
        return ERROR_INVALID_PARAMETER;
    const DNS_SERVICE_INSTANCE *instance = request->pServiceInstance;
    if (!WideToUtf8(instance->pszInstanceName, full, sizeof full) ||
        !SplitServiceName(full, Name, Type) || !BuildTxt(instance)) {
        avahi_string_list_free(Txt);
        Txt = NULL;
        return ERROR_INVALID_PARAMETER;
    }
    Port = instance->wPort;
    Pending = request;
    Reported[0] = '\0';
    OutageSaid = false;
    Poll = avahi_threaded_poll_new();
    if (Poll == NULL) {
        avahi_string_list_free(Txt);
        Txt = NULL;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    // The client is made on Avahi's own thread, never on the relay's: a system bus may take long,
    // or for ever, to answer, and the relay serves meanwhile.
    struct timeval now;
    avahi_elapse_time(&now, 0, 0);
    avahi_threaded_poll_get(Poll)->timeout_new(avahi_threaded_poll_get(Poll), &now, OnRetry, NULL);
    if (avahi_threaded_poll_start(Poll) < 0) {
        avahi_threaded_poll_free(Poll);
        Poll = NULL;
        Client = NULL;
        avahi_string_list_free(Txt);
        Txt = NULL;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return DNS_REQUEST_PENDING;
}

// Withdraws the announcement at once: the client's end removes its records from Avahi.
DWORD DnsServiceDeRegister(PDNS_SERVICE_REGISTER_REQUEST request, PDNS_SERVICE_CANCEL) {
    if (Poll == NULL || request != Pending)
        return ERROR_INVALID_PARAMETER;
    avahi_threaded_poll_stop(Poll);
    if (Client != NULL)
        avahi_client_free(Client);
    avahi_threaded_poll_free(Poll);
    avahi_string_list_free(Txt);
    Poll = NULL;
    Client = NULL;
    Group = NULL;
    Txt = NULL;
    Pending = NULL;
    return ERROR_SUCCESS;
}

// The one library this layer offers by name: dnsapi.dll, whose DNS-SD calls it implements.
HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE, DWORD) {
    if (fileName != NULL && strcasecmp(fileName, "dnsapi.dll") == 0)
        return (HMODULE)&Instances;
    SetHostError(ERROR_MOD_NOT_FOUND);
    return NULL;
}

// Finds a call of dnsapi.dll by name.
FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    typedef void (*AnyCall)(void);
    struct Export {
        const char *name;
        AnyCall call;
    };
    static const Export exports[] = {
        {"DnsServiceConstructInstance", (AnyCall)DnsServiceConstructInstance},
        {"DnsServiceFreeInstance", (AnyCall)DnsServiceFreeInstance},
        {"DnsServiceRegister", (AnyCall)DnsServiceRegister},
        {"DnsServiceDeRegister", (AnyCall)DnsServiceDeRegister},
    };
    if (module == (HMODULE)&Instances && procName != NULL) {
        for (const Export &entry : exports) {
            if (strcmp(entry.name, procName) == 0)
                return (FARPROC)entry.call;
        }
    }
    SetHostError(ERROR_PROC_NOT_FOUND);
    return NULL;
}

// DNS-SD backend over the system's Avahi daemon, reached with libavahi-client over D-Bus, in
// UTF-8 throughout.
//
// One announcement at a time (the relay advertises its one instance). Avahi runs its client on a
// thread of its own (a threaded poll), where the outcome is told. The relay never waits for
// Avahi: a machine without it, or an Avahi that stops or restarts, leaves the relay serving. Each
// outage is said once on standard error (the journal under systemd), and the service is announced
// again when Avahi is back; a client that fails is made again after a pause that grows from 1 s
// to 30 s, so that a lasting failure cannot spin. A name that another service holds is renamed as
// Avahi offers ("Office #2"), and the new name is told. The process's end, a stop signal
// included, withdraws the announcement: Avahi drops the records of a client that is gone.

#include "advertise/dnssd_backend.h"

#include "linux/avahi/avahi_calls.h"

#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/timeval.h>
#include <stdio.h>
#include <string.h>

enum {
    TEXT_SIZE = 256,          // one name or one key=value string
    FIRST_PAUSE_MS = 1000,    // before a failed client is made again
    LONGEST_PAUSE_MS = 30000, // the pause grows to this and stays
};

static const char Type[] = "_pdl-datastream._tcp";

// The announcement, touched on Avahi's thread, or with that thread stopped or not yet started.
static AvahiThreadedPoll *Poll;
static AvahiClient *Client;
static AvahiEntryGroup *Group;
static AvahiStringList *Txt;
static char Name[TEXT_SIZE];     // the instance name, renamed after a collision
static char Reported[TEXT_SIZE]; // the name told last
static uint16_t Port;
static bool OutageSaid;
static unsigned int PauseMs = FIRST_PAUSE_MS;
static const DnssdOutcomes *Told; // the advertising module's handlers

static void AddService(void);
static void NewClient(void);

// Says on standard error, once until the service is announced again, that it is not announced.
static void SayOutage(const char *reason) {
    if (OutageSaid)
        return;
    OutageSaid = true;
    fprintf(stderr, "DNS-SD: %s: not advertised until Avahi runs; the relay serves on\n", reason);
    fflush(stderr);
}

// Finds the system's DNS-SD: Avahi is always asked; its absence is waited out.
bool DnssdFind(const DnssdOutcomes *outcomes) {
    Told = outcomes;
    return true;
}

// Tells the name Avahi announces, when it is not the one told last.
static void Announced(void) {
    OutageSaid = false;
    PauseMs = FIRST_PAUSE_MS;
    if (strcmp(Name, Reported) == 0)
        return;
    snprintf(Reported, sizeof Reported, "%s", Name);
    Told->announced(Name);
}

// Takes the name Avahi offers in place of one that is taken, and announces again.
static void Rename(void) {
    char *alternative = avahi_alternative_service_name(Name);
    if (alternative != NULL) {
        snprintf(Name, sizeof Name, "%s", alternative);
        avahi_free(alternative);
    }
    if (Group != NULL)
        Avahi->groupReset(Group);
    AddService();
}

// Follows the announcement: established, or taken by another service.
static void OnGroup(AvahiEntryGroup *group, AvahiEntryGroupState state, void *) {
    if (group != Group)
        return;
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED)
        Announced();
    else if (state == AVAHI_ENTRY_GROUP_COLLISION)
        Rename();
    else if (state == AVAHI_ENTRY_GROUP_FAILURE)
        SayOutage(avahi_strerror(Avahi->clientErrno(Client)));
}

// Announces the service under the current name.
static void AddService(void) {
    if (Client == NULL)
        return;
    if (Group == NULL)
        Group = Avahi->groupNew(Client, OnGroup);
    if (Group == NULL) {
        SayOutage(avahi_strerror(Avahi->clientErrno(Client)));
        return;
    }
    int result = Avahi->groupAdd(Group, Name, Type, Port, Txt);
    if (result == AVAHI_ERR_COLLISION) {
        Rename();
        return;
    }
    if (result >= 0)
        result = Avahi->groupCommit(Group);
    if (result < 0)
        SayOutage(avahi_strerror(result));
}

// Makes a client on Avahi's thread: at the start, and again after a pause.
static void OnRetry(AvahiTimeout *timeout, void *) {
    Avahi->timeoutFree(Poll, timeout);
    NewClient();
}

// Asks Avahi's thread to make a client after a pause; true when it will.
static bool MakeClientIn(unsigned int milliseconds) {
    struct timeval when;
    avahi_elapse_time(&when, milliseconds, 0);
    return Avahi->timeoutNew(Poll, &when, OnRetry, NULL) != NULL;
}

// Makes a client again after the pause, which grows for the next time; a retry that cannot be
// arranged is said, never dropped in silence.
static void RetryLater(void) {
    if (!MakeClientIn(PauseMs)) {
        fprintf(stderr, "DNS-SD: no timer for another try: not advertised; the relay serves on\n");
        fflush(stderr);
    }
    PauseMs =
        PauseMs * 2 < (unsigned int)LONGEST_PAUSE_MS ? PauseMs * 2 : (unsigned int)LONGEST_PAUSE_MS;
}

// Follows the daemon: announce once it runs, again after it restarted; wait while it is absent.
static void OnClient(AvahiClient *client, AvahiClientState state, void *) {
    Client = client; // also called from within the client's making, before it returns
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        AddService();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host's own name is being settled: announce again once it is.
        if (Group != NULL)
            Avahi->groupReset(Group);
        break;
    case AVAHI_CLIENT_CONNECTING:
        SayOutage("Avahi is not running");
        break;
    case AVAHI_CLIENT_FAILURE:
        // The daemon went away (stopped or restarting): a new client, after a pause, waits for it.
        SayOutage(avahi_strerror(Avahi->clientErrno(client)));
        Avahi->clientFree(client);
        Client = NULL;
        Group = NULL;
        Reported[0] = '\0';
        RetryLater();
        break;
    }
}

// Makes a client that waits for the daemon; when even that fails (no system bus), tries again
// after a pause.
static void NewClient(void) {
    int error = 0;
    Group = NULL;
    Client = Avahi->clientNew(Poll, OnClient, &error);
    if (Client != NULL)
        return;
    SayOutage(avahi_strerror(error));
    RetryLater();
}

// Builds the TXT strings "key=value"; false when one cannot be added.
static bool BuildTxt(const Advertisement *advert) {
    Txt = NULL;
    for (int i = advert->txtCount; i > 0; i--) {
        char pair[2 * TEXT_SIZE];
        snprintf(pair, sizeof pair, "%s=%s", advert->keys[i - 1], advert->values[i - 1]);
        AvahiStringList *longer = Avahi->listAdd(Txt, pair);
        if (longer == NULL)
            return false;
        Txt = longer;
    }
    return true;
}

// Gives back what an announcement holds, Avahi's thread stopped.
static void Release(void) {
    if (Client != NULL)
        Avahi->clientFree(Client);
    if (Poll != NULL)
        Avahi->pollFree(Poll);
    Avahi->listFree(Txt);
    Poll = NULL;
    Client = NULL;
    Group = NULL;
    Txt = NULL;
}

// Announces through Avahi; the outcome follows on Avahi's thread. 0, or ADVERT_STATUS_NO_MEMORY
// when the TXT record, Avahi's thread or its first call cannot be had.
unsigned long DnssdRegister(const Advertisement *advert) {
    if (Poll != NULL)
        return ADVERT_STATUS_NO_MEMORY; // one announcement at a time
    snprintf(Name, sizeof Name, "%s", advert->name);
    Port = advert->port;
    Reported[0] = '\0';
    OutageSaid = false;
    PauseMs = FIRST_PAUSE_MS;
    Poll = BuildTxt(advert) ? Avahi->pollNew() : NULL;
    // The client is made on Avahi's own thread, never on the relay's: a system bus may take long,
    // or for ever, to answer, and the relay serves meanwhile.
    if (Poll == NULL || !MakeClientIn(0) || Avahi->pollStart(Poll) < 0) {
        Release();
        return ADVERT_STATUS_NO_MEMORY;
    }
    return 0;
}

// Withdraws the announcement at once: the client's end removes its records from Avahi, and
// nothing is told after Avahi's thread stopped.
void DnssdWithdraw(void) {
    if (Poll == NULL)
        return;
    Avahi->pollStop(Poll);
    Release();
}

// Withdraws what an earlier run announced, as a run starts afresh.
void DnssdForget(void) {
    DnssdWithdraw();
}

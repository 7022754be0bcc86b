// The calls of libavahi-client that the Avahi backend makes, as a table, so that a test can put a
// double of them in place and reach the failure paths a running daemon never shows on demand.
#pragma once

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/thread-watch.h>
#include <stdint.h>
#include <sys/time.h>

struct AvahiCalls {
    AvahiThreadedPoll *(*pollNew)(void);
    int (*pollStart)(AvahiThreadedPoll *poll);
    void (*pollStop)(AvahiThreadedPoll *poll);
    void (*pollFree)(AvahiThreadedPoll *poll);
    AvahiTimeout *(*timeoutNew)(AvahiThreadedPoll *poll, const struct timeval *when,
                                AvahiTimeoutCallback callback, void *data);
    void (*timeoutFree)(AvahiThreadedPoll *poll, AvahiTimeout *timeout);
    AvahiClient *(*clientNew)(AvahiThreadedPoll *poll, AvahiClientCallback callback, int *error);
    void (*clientFree)(AvahiClient *client);
    int (*clientErrno)(AvahiClient *client);
    AvahiEntryGroup *(*groupNew)(AvahiClient *client, AvahiEntryGroupCallback callback);
    int (*groupAdd)(AvahiEntryGroup *group, const char *name, const char *type, uint16_t port,
                    AvahiStringList *txt);
    int (*groupCommit)(AvahiEntryGroup *group);
    int (*groupReset)(AvahiEntryGroup *group);
    AvahiStringList *(*listAdd)(AvahiStringList *list, const char *text);
    void (*listFree)(AvahiStringList *list);
};

// The calls in use: libavahi-client's own, unless a test put its double here.
extern const AvahiCalls *Avahi;

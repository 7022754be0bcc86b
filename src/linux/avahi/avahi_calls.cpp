// The table of libavahi-client's own calls, for the Avahi backend: each entry adapts one call.

#include "linux/avahi/avahi_calls.h"

#include <avahi-common/strlst.h>
#include <stddef.h>

// Starts Avahi's thread.
static int PollStart(AvahiThreadedPoll *poll) {
    return avahi_threaded_poll_start(poll);
}

// Stops Avahi's thread, waiting for it.
static void PollStop(AvahiThreadedPoll *poll) {
    avahi_threaded_poll_stop(poll);
}

// Asks Avahi's thread to call back at a time.
static AvahiTimeout *TimeoutNew(AvahiThreadedPoll *poll, const struct timeval *when,
                                AvahiTimeoutCallback callback, void *data) {
    const AvahiPoll *api = avahi_threaded_poll_get(poll);
    return api->timeout_new(api, when, callback, data);
}

// Forgets a call-back asked for.
static void TimeoutFree(AvahiThreadedPoll *poll, AvahiTimeout *timeout) {
    avahi_threaded_poll_get(poll)->timeout_free(timeout);
}

// Makes a client that waits for the daemon rather than fail when it is absent.
static AvahiClient *ClientNew(AvahiThreadedPoll *poll, AvahiClientCallback callback, int *error) {
    return avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, callback, NULL,
                            error);
}

// Makes an entry group of the client.
static AvahiEntryGroup *GroupNew(AvahiClient *client, AvahiEntryGroupCallback callback) {
    return avahi_entry_group_new(client, callback, NULL);
}

// Adds the service on every interface and protocol.
static int GroupAdd(AvahiEntryGroup *group, const char *name, const char *type, uint16_t port,
                    AvahiStringList *txt) {
    return avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                (AvahiPublishFlags)0, name, type, NULL, NULL, port,
                                                txt);
}

static const AvahiCalls RealCalls = {
    avahi_threaded_poll_new,
    PollStart,
    PollStop,
    avahi_threaded_poll_free,
    TimeoutNew,
    TimeoutFree,
    ClientNew,
    avahi_client_free,
    avahi_client_errno,
    GroupNew,
    GroupAdd,
    avahi_entry_group_commit,
    avahi_entry_group_reset,
    avahi_string_list_add,
    avahi_string_list_free,
};

const AvahiCalls *Avahi = &RealCalls;

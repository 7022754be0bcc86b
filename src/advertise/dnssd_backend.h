// DNS-SD backends: the one interface through which the advertising module announces an instance,
// served by dnsapi.dll on Windows and by Avahi on Linux. Every string here is UTF-8, already
// cleaned and cut by the advertising module.
#pragma once

#include <stddef.h>

enum {
    ADVERT_NAME_BYTES = 63,      // of UTF-8 in an instance name
    ADVERT_NAME_SIZE = 64,       // the name and its NUL
    ADVERT_TXT_BYTES = 255,      // of UTF-8 in one key=value string
    ADVERT_TXT_SIZE = 256,       // one key=value string and its NUL
    ADVERT_HOST_SIZE = 256,      // the host's DNS name with ".local"
    ADVERT_TXT_COUNT = 8,        // the TXT strings of one instance
    ADVERT_STATUS_NO_MEMORY = 8, // what a backend reports when its own resources run out
};

// What an instance announces: its name, the host that serves it, its port and its TXT record.
struct Advertisement {
    char name[ADVERT_NAME_SIZE];
    char host[ADVERT_HOST_SIZE];
    unsigned short port;
    int txtCount;
    char keys[ADVERT_TXT_COUNT][16];
    char values[ADVERT_TXT_COUNT][ADVERT_TXT_SIZE];
};

// Where a backend reports the outcome, on any thread: the advertising module's handlers, given
// to DnssdFind, so that a backend never calls the module by name.
struct DnssdOutcomes {
    // The announcement is on the network, under the name asked for or one the responder chose
    // after a collision.
    void (*announced)(const char *name);
    // The system refused the announcement.
    void (*refused)(unsigned long status);
    // A withdrawal the system was asked for failed.
    void (*withdrawFailed)(unsigned long status);
};

// Finds the system's DNS-SD and takes the handlers of its outcomes; false when it offers none.
// Called once a run, before the others.
bool DnssdFind(const DnssdOutcomes *outcomes);

// Starts announcing; 0 when the request is taken (the outcome follows through the handlers),
// else the system's error number. At most one announcement at a time.
unsigned long DnssdRegister(const Advertisement *advert);

// Ends the announcement begun last: after it returns, no outcome of it is reported.
void DnssdWithdraw(void);

// Gives back what an earlier run kept, as a run starts afresh.
void DnssdForget(void);

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

// Finds the system's DNS-SD; false when it offers none. Called once a run, before the others.
bool DnssdFind(void);

// Starts announcing; 0 when the request is taken (the outcome follows through the calls below),
// else the system's error number. At most one announcement at a time.
unsigned long DnssdRegister(const Advertisement *advert);

// Ends the announcement begun last: after it returns, no outcome of it is reported.
void DnssdWithdraw(void);

// Gives back what an earlier run kept, as a run starts afresh.
void DnssdForget(void);

// Called by a backend, on any thread, when the announcement under the given name is on the
// network: the name asked for, or one the responder chose after a collision.
void DnssdAnnounced(const char *name);

// Called by a backend, on any thread, when the system refused the announcement.
void DnssdRefused(unsigned long status);

// Called by a backend when a withdrawal the system was asked for failed.
void DnssdWithdrawFailed(unsigned long status);

// The Avahi backend's failure paths, against a double of libavahi-client's calls: a TXT string
// or a timer that cannot be had, and a client that fails, made again after a growing pause.

#include "advertise/dnssd_backend.h"
#include "linux/avahi/avahi_calls.h"

#include <avahi-common/error.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using Lines = std::vector<std::string>;

namespace {
Lines Events;                           // what the backend asked of Avahi, and what it told
int ListAddsLeft, TimersLeft;           // calls that succeed before one fails; -1 none fails
int ClientsFailing;                     // clients that cannot be made
std::vector<std::function<void()>> Due; // what Avahi's thread would call back, in turn
AvahiThreadedPoll *const ThePoll = (AvahiThreadedPoll *)&Events;
AvahiClient *const TheClient = (AvahiClient *)&Due;
AvahiStringList *const TheList = (AvahiStringList *)&ListAddsLeft;

// Counts a call down; false for the one that fails.
bool Allowed(int *left) {
    return *left < 0 || (*left)-- > 0;
}

const AvahiCalls Double = {
    [] { return ThePoll; },
    [](AvahiThreadedPoll *) { return 0; },
    [](AvahiThreadedPoll *) {},
    [](AvahiThreadedPoll *) { Events.push_back("poll freed"); },
    [](AvahiThreadedPoll *, const struct timeval *when, AvahiTimeoutCallback callback,
       void *) -> AvahiTimeout * {
        struct timeval now;
        gettimeofday(&now, nullptr);
        long ms = (when->tv_sec - now.tv_sec) * 1000 + (when->tv_usec - now.tv_usec) / 1000;
        Events.push_back("timer " + std::to_string((ms + 50) / 1000) + " s");
        if (!Allowed(&TimersLeft))
            return nullptr;
        Due.push_back([callback] { callback(nullptr, nullptr); });
        return (AvahiTimeout *)&Due;
    },
    [](AvahiThreadedPoll *, AvahiTimeout *) {},
    [](AvahiThreadedPoll *, AvahiClientCallback callback, int *error) -> AvahiClient * {
        Events.push_back("client");
        if (ClientsFailing > 0) {
            ClientsFailing--;
            *error = AVAHI_ERR_NO_DAEMON;
            return nullptr;
        }
        // The daemon goes away once the client is made.
        Due.push_back([callback] { callback(TheClient, AVAHI_CLIENT_FAILURE, nullptr); });
        return TheClient;
    },
    [](AvahiClient *) {},
    [](AvahiClient *) { return (int)AVAHI_ERR_DISCONNECTED; },
    [](AvahiClient *, AvahiEntryGroupCallback) -> AvahiEntryGroup * { return nullptr; },
    [](AvahiEntryGroup *, const char *, const char *, uint16_t, AvahiStringList *) { return 0; },
    [](AvahiEntryGroup *) { return 0; },
    [](AvahiEntryGroup *) { return 0; },
    [](AvahiStringList *, const char *text) -> AvahiStringList * {
        Events.push_back(std::string("txt ") + text);
        return Allowed(&ListAddsLeft) ? TheList : nullptr;
    },
    [](AvahiStringList *) {},
};
} // namespace

const DnssdOutcomes Outcomes = {
    [](const char *name) { Events.push_back(std::string("announced ") + name); },
    [](unsigned long status) { Events.push_back("refused " + std::to_string(status)); },
    [](unsigned long status) { Events.push_back("withdraw failed " + std::to_string(status)); },
};

TEST(AvahiBackend, SaysEveryFailureAndPausesLongerAfterEachFailedClient) {
    struct Row {
        const char *what;
        int listAdds, timers, clientsFailing, steps; // steps: call-backs of Avahi's thread run
        unsigned long result;
        Lines events;
        const char *said; // on standard error; "" nothing
    };
    const Row rows[] = {
        {"a TXT string that cannot be added", 1, -1, 0, 0, 8, {"txt ty=Front", "txt qtotal=1"}, ""},
        {"no timer for the first client",
         -1,
         0,
         0,
         0,
         8,
         {"txt ty=Front", "txt qtotal=1", "timer 0 s", "poll freed"},
         ""},
        {"a client that fails waits 1 s, then 2 s, 4 s ... and 30 s at most",
         -1,
         -1,
         0,
         14,
         0,
         {"txt ty=Front", "txt qtotal=1", "timer 0 s", "client", "timer 1 s", "client", "timer 2 s",
          "client", "timer 4 s", "client", "timer 8 s", "client", "timer 16 s", "client",
          "timer 30 s", "client", "timer 30 s", "poll freed"},
         "DNS-SD: Daemon connection failed: not advertised until Avahi runs"},
        {"no client at all (no system bus) waits too",
         -1,
         -1,
         2,
         3,
         0,
         {"txt ty=Front", "txt qtotal=1", "timer 0 s", "client", "timer 1 s", "client", "timer 2 s",
          "client", "poll freed"},
         "DNS-SD: Daemon not running: not advertised until Avahi runs"},
        {"no timer for another try is said",
         -1,
         1,
         0,
         2,
         0,
         {"txt ty=Front", "txt qtotal=1", "timer 0 s", "client", "timer 1 s", "poll freed"},
         "DNS-SD: no timer for another try: not advertised"},
    };
    Avahi = &Double;
    ASSERT_TRUE(DnssdFind(&Outcomes));
    Advertisement advert = {"Front", "host.local", 9100, 2, {"qtotal", "ty"}, {"1", "Front"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Events.clear();
        Due.clear();
        ListAddsLeft = row.listAdds;
        TimersLeft = row.timers;
        ClientsFailing = row.clientsFailing;
        testing::internal::CaptureStderr();
        EXPECT_EQ(row.result, DnssdRegister(&advert));
        for (int step = 0; step < row.steps && step < (int)Due.size(); step++)
            Due[step]();
        DnssdWithdraw();
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(row.events, Events);
        if (row.said[0] != '\0')
            EXPECT_NE(std::string::npos, said.find(row.said)) << said;
        else
            EXPECT_EQ("", said);
    }
}

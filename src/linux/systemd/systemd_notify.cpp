// The unit's status under systemd: the readiness protocol's datagrams to NOTIFY_SOCKET say when
// the relay waits for clients, what it waits for, and when and why it stops.
//
// The protocol is a few lines of text on a datagram socket, written here rather than taken from
// libsystemd: that keeps the package's dependencies at libcups and libc, and the stop signal's
// handler can send its one datagram without calling a library that is not async-signal-safe.

#include "systemd_runner.h"

#include "platform/host/host_internal.h"

#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static int NotifyFd = -1;
static bool NotifyOpened;
static struct sockaddr_un NotifyAddress;
static socklen_t NotifyLength;
static bool ReadySent;
static char RelayingStatus[400]; // "STATUS=Relaying port ...", kept for after a wait

// Opens the datagram socket to the manager that NOTIFY_SOCKET names ("/path" or "@abstract").
static void OpenNotifySocket(void) {
    NotifyOpened = true;
    const char *name = getenv("NOTIFY_SOCKET");
    size_t length = name != NULL ? strlen(name) : 0;
    if (length < 2 || length >= sizeof NotifyAddress.sun_path || (name[0] != '/' && name[0] != '@'))
        return;
    memset(&NotifyAddress, 0, sizeof NotifyAddress);
    NotifyAddress.sun_family = AF_UNIX;
    memcpy(NotifyAddress.sun_path, name, length);
    if (name[0] == '@')
        NotifyAddress.sun_path[0] = '\0';
    NotifyLength = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + length);
    NotifyFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

// Sends one notification to the service manager, if there is one; async-signal-safe once the
// socket is open (the readiness opens it, before the stop signal is taken).
static void Notify(const char *text) {
    if (!NotifyOpened)
        OpenNotifySocket();
    if (NotifyFd >= 0)
        sendto(NotifyFd, text, strlen(text), MSG_NOSIGNAL, (const struct sockaddr *)&NotifyAddress,
               NotifyLength);
}

// Tells the manager, once, that the relay waits for clients, naming its port and queue.
void NotifyHostReady(int listener, const char *printer) {
    if (ReadySent)
        return;
    ReadySent = true;
    struct sockaddr_in address;
    socklen_t size = sizeof address;
    memset(&address, 0, sizeof address);
    getsockname(listener, (struct sockaddr *)&address, &size);
    char queue[256];
    char text[sizeof RelayingStatus + 16];
    snprintf(queue, sizeof queue, "%s", printer != NULL && printer[0] != '\0' ? printer : "(none)");
    MakeLineSafe(queue); // a line break would start another assignment of the protocol
    snprintf(RelayingStatus, sizeof RelayingStatus, "STATUS=Relaying port %u to queue %s",
             ntohs(address.sin_port), queue);
    snprintf(text, sizeof text, "READY=1\n%s", RelayingStatus);
    Notify(text);
}

// Shows a status line of the relay's own; a line break in it would start another assignment.
void NotifyHostStatus(const char *status) {
    char text[600];
    snprintf(text, sizeof text, "STATUS=%s", status);
    MakeLineSafe(text);
    Notify(text);
}

// Shows again that the relay serves its port, once it has told the manager it is ready.
void NotifyHostRelaying(void) {
    if (ReadySent)
        Notify(RelayingStatus);
}

// Tells the manager the relay stops; only fixed texts, so a signal handler may call it.
void NotifyHostStopping(bool stoppingJob) {
    Notify(stoppingJob ? "STOPPING=1\nSTATUS=Stopping once the job being received is complete"
                       : "STOPPING=1\nSTATUS=Stopping");
}

// Ends the relay for a requested stop, between two jobs: status 0, as after a stop control.
[[noreturn]] void EndHostForStop(void) {
    Notify("STOPPING=1\nSTATUS=Stopped");
    fflush(NULL);
    _exit(0);
}

// Ends a relay whose hold folder would lie, so that the unit ends failed and stays so.
[[noreturn]] void EndHostForHoldFailure(const char *reason) {
    char text[600];
    snprintf(text, sizeof text, "STOPPING=1\nSTATUS=Stopped: %s", reason);
    MakeLineSafe(text + 11); // the reason stays on the STATUS line
    Notify(text);
    fflush(NULL);
    _exit(HOST_EXIT_HOLD_UNTRUE);
}

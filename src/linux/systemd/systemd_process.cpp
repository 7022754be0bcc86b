// Host layer: the relay's life under a service manager on Linux. A SIGTERM lets the job being
// received finish, serves the clients already queued on the port for up to 60 s after the signal
// (the kernel has taken their bytes, and the end of the listening socket would reset them), and
// ends the relay at its next wait for a client that finds none queued; the readiness protocol of
// systemd (datagrams to NOTIFY_SOCKET) says when the relay waits for clients and when it stops;
// a listening socket that systemd passes (LISTEN_FDS) is taken instead of binding one, so clients
// that connect while the relay restarts wait in systemd's queue.
//
// The protocol is a few lines of text on a datagram socket, written here rather than taken from
// libsystemd: that keeps the package's dependencies at libcups and libc, and the signal handler
// can send its one datagram without calling a library that is not async-signal-safe.

#include "platform/host/host_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { LISTEN_FDS_START = 3 }; // the first descriptor systemd passes
// How long a stop goes on serving queued clients: a steady stream of new ones cannot hold a stop
// for ever, and the job taken last still has the rest of the unit's TimeoutStopSec=90 to end.
enum { STOP_SERVES_QUEUED_SECONDS = 60 };

static bool Started;
static int NotifyFd = -1;
static struct sockaddr_un NotifyAddress;
static socklen_t NotifyLength;
static int WakePipe[2] = {-1, -1};
static volatile sig_atomic_t ServingClient;
static volatile sig_atomic_t StopSignalSecond = -1; // HostSeconds() at the first stop signal
static bool ReadySent;
static char RelayingStatus[400]; // "STATUS=Relaying port ...", kept for after a wait
static int InheritedListener = -1;
static bool InheritedChecked;

// Sends one notification to the service manager, if there is one; async-signal-safe.
static void Notify(const char *text) {
    if (NotifyFd >= 0)
        sendto(NotifyFd, text, strlen(text), MSG_NOSIGNAL, (const struct sockaddr *)&NotifyAddress,
               NotifyLength);
}

// Opens the datagram socket to the manager that NOTIFY_SOCKET names ("/path" or "@abstract").
static void OpenNotifySocket(void) {
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

// SIGTERM: marks the stop, tells the manager, and wakes a wait for the next client.
static void OnStopSignal(int) {
    int saved = errno;
    if (StopSignalSecond < 0)
        StopSignalSecond = (sig_atomic_t)HostSeconds(); // clock_gettime is async-signal-safe
    RequestHostStop();
    Notify(ServingClient ? "STOPPING=1\nSTATUS=Stopping once the job being received is complete"
                         : "STOPPING=1\nSTATUS=Stopping");
    if (WakePipe[1] >= 0) {
        ssize_t ignored = write(WakePipe[1], "", 1);
        (void)ignored;
    }
    errno = saved;
}

// Readies the process for a stop signal and the manager's socket; later calls do nothing.
void StartHostProcess(void) {
    if (Started)
        return;
    Started = true;
    OpenNotifySocket();
    if (pipe2(WakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        WakePipe[0] = WakePipe[1] = -1;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Calls in progress resume after the handler: a receive is never cut short by the stop.
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, NULL);
}

// The descriptor that becomes readable once a stop has been requested; -1 without one.
int HostStopWakeDescriptor(void) {
    return WakePipe[0];
}

// True while a stop still serves a client queued on the listener: one is there now, and the
// stop's time for them is not over.
bool HostStopServesQueued(int listener) {
    if (StopSignalSecond < 0 ||
        HostSeconds() - (time_t)StopSignalSecond >= STOP_SERVES_QUEUED_SECONDS)
        return false;
    struct pollfd queued = {listener, POLLIN, 0};
    int ready;
    do {
        ready = poll(&queued, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (queued.revents & POLLIN) != 0;
}

// Ends the relay for a requested stop, between two jobs: status 0, as after a stop control.
[[noreturn]] void EndHostForStop(void) {
    Notify("STOPPING=1\nSTATUS=Stopped");
    fflush(NULL);
    _exit(0);
}

// Records whether a connection is being served, for the stop's status line.
void SetHostServingClient(bool serving) {
    ServingClient = serving ? 1 : 0;
}

// Fills buffer with the printer a console relay was started for (argument 2 after STANDALONE or
// BACKGROUND), as the process's command line holds it; "" otherwise.
static void CommandLinePrinter(char *buffer, size_t capacity) {
    char line[1024];
    buffer[0] = '\0';
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t length = read(fd, line, sizeof line - 1);
    close(fd);
    if (length <= 0)
        return;
    line[length] = '\0';
    const char *word[3] = {line, NULL, NULL};
    for (int index = 1; index < 3; index++) {
        const char *end = word[index - 1] + strlen(word[index - 1]);
        if (end >= line + length)
            return;
        word[index] = end + 1;
    }
    if (strcasecmp(word[1], "STANDALONE") == 0 || strcasecmp(word[1], "BACKGROUND") == 0)
        snprintf(buffer, capacity, "%s", word[2]);
}

// Tells the manager, once, that the relay waits for clients, naming its port and queue.
void NotifyHostReady(int listener) {
    if (ReadySent)
        return;
    ReadySent = true;
    struct sockaddr_in address;
    socklen_t size = sizeof address;
    memset(&address, 0, sizeof address);
    getsockname(listener, (struct sockaddr *)&address, &size);
    char printer[256];
    char text[sizeof RelayingStatus + 16];
    CommandLinePrinter(printer, sizeof printer);
    MakeLineSafe(printer); // a line break would start another assignment of the protocol
    snprintf(RelayingStatus, sizeof RelayingStatus, "STATUS=Relaying port %u to queue %s",
             ntohs(address.sin_port), printer[0] != '\0' ? printer : "(none)");
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

// Ends a relay whose hold folder would lie, so that the unit ends failed and stays so.
[[noreturn]] void EndHostForHoldFailure(const char *reason) {
    char text[600];
    snprintf(text, sizeof text, "STOPPING=1\nSTATUS=Stopped: %s", reason);
    MakeLineSafe(text + 11); // the reason stays on the STATUS line
    Notify(text);
    fflush(NULL);
    _exit(HOST_EXIT_HOLD_UNTRUE);
}

// True for an IPv4 stream socket that listens.
static bool IsListeningIpv4(int fd) {
    int type = 0, listening = 0;
    socklen_t size = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM)
        return false;
    size = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening)
        return false;
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    return getsockname(fd, (struct sockaddr *)&address, &length) == 0 &&
           address.sin_family == AF_INET;
}

// Takes the listening socket systemd passed to this process, once; -1 when there is none. The
// variables go, so that nothing started later mistakes them for its own.
int TakeInheritedListener(void) {
    if (InheritedChecked)
        return -1;
    InheritedChecked = true;
    const char *pid = getenv("LISTEN_PID");
    const char *count = getenv("LISTEN_FDS");
    bool ours = pid != NULL && count != NULL && strtol(pid, NULL, 10) == (long)getpid() &&
                strtol(count, NULL, 10) >= 1;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!ours || !IsListeningIpv4(LISTEN_FDS_START))
        return -1;
    fcntl(LISTEN_FDS_START, F_SETFD, FD_CLOEXEC);
    InheritedListener = LISTEN_FDS_START;
    return InheritedListener;
}

// True when fd is the inherited socket and already bound to the given port and address. A relay
// asking for any address also takes a socket that its unit narrowed to one (ListenStream=
// 127.0.0.1:9100 in a drop-in): the administrator chose it, and it serves the relay's port.
bool InheritedListenerBoundTo(int fd, uint32_t addressNetOrder, uint16_t portNetOrder) {
    if (fd < 0 || fd != InheritedListener)
        return false;
    struct sockaddr_in address;
    socklen_t length = sizeof address;
    if (getsockname(fd, (struct sockaddr *)&address, &length) != 0)
        return false;
    bool anyAddress = addressNetOrder == htonl(INADDR_ANY);
    return address.sin_port == portNetOrder &&
           (anyAddress || address.sin_addr.s_addr == addressNetOrder);
}

// Forgets the inherited socket once it is closed, so its number is not mistaken for it later.
void ForgetInheritedListener(int fd) {
    if (fd == InheritedListener)
        InheritedListener = -1;
}

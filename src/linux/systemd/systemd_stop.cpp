// The stop under systemd (SIGTERM, from systemctl stop or restart, or a shutdown): the signal
// counts the clients queued on the listening socket at that moment, marks the stop, tells systemd
// and wakes a wait for the next client. The relay then serves only those clients, for at most
// 10 s after the signal, and ends between two jobs (the service runner decides when).

#include "systemd_runner.h"

#include "platform/host/host_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

// How long a stop goes on serving the clients queued at its signal: a client that sends slowly
// cannot hold a stop for long, and the one taken last still has the rest of TimeoutStopSec.
enum { STOP_SERVES_QUEUED_SECONDS = 10 };

static bool Started;
static int WakePipe[2] = {-1, -1};
static volatile sig_atomic_t StopRequested;
static volatile sig_atomic_t ServingClient;
static volatile sig_atomic_t ListenerFd = -1;
static volatile sig_atomic_t QueuedAtStop = -1;     // clients queued at the stop; -1 uncounted
static volatile sig_atomic_t StopSignalSecond = -1; // HostSeconds() at the first stop signal

// Tells whether the process has been asked to stop.
bool HostStopRequested(void) {
    return StopRequested != 0;
}

// Marks the process as asked to stop; only sets a flag, so a signal handler may call it.
void RequestHostStop(void) {
    StopRequested = 1;
}

// The length of the listening socket's accept queue, as the kernel counts it; 0 unknown.
static int QueuedClients(int listener) {
    struct tcp_info info;
    socklen_t size = sizeof info;
    memset(&info, 0, sizeof info);
    if (listener < 0 || getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return 0;
    return (int)info.tcpi_unacked; // of a listening socket: its accept queue
}

// SIGTERM: counts the clients queued now, marks the stop, tells the manager, and wakes a wait
// for the next client.
static void OnStopSignal(int) {
    int saved = errno;
    if (StopSignalSecond < 0) {
        if (ListenerFd >= 0)
            QueuedAtStop = QueuedClients(ListenerFd);   // getsockopt is a plain system call
        StopSignalSecond = (sig_atomic_t)HostSeconds(); // clock_gettime is async-signal-safe
    }
    RequestHostStop();
    NotifyHostStopping(ServingClient != 0);
    if (WakePipe[1] >= 0) {
        ssize_t ignored = write(WakePipe[1], "", 1);
        (void)ignored;
    }
    errno = saved;
}

// Readies the process for a stop signal; later calls do nothing.
void StartHostProcess(void) {
    if (Started)
        return;
    Started = true;
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

// True while a stop still serves a client that was queued at its signal and is there now.
bool HostStopServesQueued(int listener) {
    if (StopSignalSecond < 0 || QueuedAtStop <= 0 ||
        HostSeconds() - (time_t)StopSignalSecond >= STOP_SERVES_QUEUED_SECONDS)
        return false;
    struct pollfd queued = {listener, POLLIN, 0};
    int ready;
    do {
        ready = poll(&queued, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || (queued.revents & POLLIN) == 0)
        return false;
    QueuedAtStop = QueuedAtStop - 1;
    return true;
}

// Records the listener whose queue a stop counts; a stop that came before it was known found no
// job begun, so its queue is this one's now.
void NoteHostListener(int listener) {
    ListenerFd = listener;
    if (StopSignalSecond >= 0 && QueuedAtStop < 0)
        QueuedAtStop = QueuedClients(listener);
}

// Records whether a connection is being served, for the stop's status line.
void SetHostServingClient(bool serving) {
    ServingClient = serving ? 1 : 0;
}

// The descriptor that becomes readable once a stop has been requested; -1 without one.
int HostStopWakeDescriptor(void) {
    return WakePipe[0];
}

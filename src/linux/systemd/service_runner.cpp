// The Linux service runner: the relay's life under a service manager, run by the listener between
// two jobs (HostBetweenJobs). Its first call tells systemd the relay is ready and sends the jobs
// an earlier run of the instance left held, first: the port is the relay's by then (so no other
// instance sends the same jobs) and listens (so clients queue rather than fail). Each call then
// waits for the next client.
//
// A SIGTERM lets the job being received finish; the relay then serves only the clients that were
// queued on the listening socket at the moment of the signal (the kernel counts them, and has
// taken their bytes: some sent their whole job and closed), for at most 10 s after it, and exits
// 0 between two jobs. Clients that connect after the signal are not taken: under systemd they
// stay queued in the socket, which systemd keeps across a restart, so the next relay, with the
// conf as it is then, serves them; on a stop for good, and without systemd, they are reset when
// the socket closes. So a restart under load takes seconds, not a drain of every new client.

#include "systemd_runner.h"

#include "platform/host/host_internal.h"
#include "platform/host/host_seams.h"
#include "platform/host/posix_sockets.h"

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
static HostLogWriter LogWriter;
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
static bool StopServesQueued(int listener) {
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

// Writes a line through the system's log writer.
void WriteRelayLog(const char *line) {
    if (LogWriter != NULL)
        LogWriter(line);
}

// Runs the service's life between two jobs; returns once a client waits to be accepted.
void HostBetweenJobs(uintptr_t listener, const char *printer, HostLogWriter log) {
    static bool heldJobsSent;
    int fd = (int)listener;
    LogWriter = log;
    ServingClient = 0;
    ListenerFd = fd;
    StartHostProcess();
    // A stop that came before the listener was known finds no job begun: its queue is this one.
    if (StopSignalSecond >= 0 && QueuedAtStop < 0)
        QueuedAtStop = QueuedClients(fd);
    NotifyHostReady(fd, printer);
    if (!heldJobsSent) {
        heldJobsSent = true;
        HostDeliverHeldJobs();
    }
    int error = 0;
    int waited = HostStopRequested() ? 0 : PosixWaitForClient(fd, WakePipe[0], &error);
    if (waited == 0 && !StopServesQueued(fd))
        EndHostForStop();
    ServingClient = 1;
}

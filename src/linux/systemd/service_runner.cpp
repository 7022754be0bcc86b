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

// Runs the service's life between two jobs; returns once a client waits to be accepted.
void HostBetweenJobs(uintptr_t listener, const char *printer, HostLogWriter log) {
    static bool heldJobsSent;
    int fd = (int)listener;
    SetRelayLogWriter(log);
    SetHostServingClient(false);
    StartHostProcess();
    NoteHostListener(fd);
    NotifyHostReady(fd, printer);
    if (!heldJobsSent) {
        heldJobsSent = true;
        HostDeliverHeldJobs();
    }
    int error = 0;
    int waited = HostStopRequested() ? 0 : PosixWaitForClient(fd, HostStopWakeDescriptor(), &error);
    if (waited == 0 && !HostStopServesQueued(fd))
        EndHostForStop();
    SetHostServingClient(true);
}

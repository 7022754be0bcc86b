// The relay's life under systemd on Linux, as the host layer and the CUPS spooler call it: the
// stop (SIGTERM), the unit's status (the notify socket), the listening socket systemd passes
// (LISTEN_FDS) and the exits that tell systemd why the relay ended. The listener reaches the
// runner through the platform's between-jobs hook (HostBetweenJobs in win32.h).
#pragma once

#include "platform/host/host_seams.h"

#include <stddef.h>
#include <stdint.h>

// True once the process has been asked to stop (SIGTERM from systemctl stop or restart): a wait
// for the scheduler gives up and leaves its job held for the next start, and the relay ends once
// the job being received is complete and the clients queued at the stop are served.
bool HostStopRequested(void);

// Marks the process as asked to stop, as the stop signal does.
void RequestHostStop(void);

// Readies the process for a stop signal (SIGTERM), once sockets are started; later calls do
// nothing.
void StartHostProcess(void);

// Writes a line to the relay's log file through the system's own log writer, which the listener
// hands over between jobs (SetRelayLogWriter); nothing before that.
void WriteRelayLog(const char *line);
void SetRelayLogWriter(HostLogWriter log);

// Writes a line to standard error (the unit's journal under systemd), whole; queue names and the
// scheduler's reasons in it are data from outside, so nothing in them may start a line of its own.
void Journal(const char *format, ...) __attribute__((format(printf, 1, 2)));

// True when standard error is the journal stream systemd connected (JOURNAL_STREAM names it), so
// that a text-mode file's lines, the log's, are copied there as well.
bool JournalCopyWanted(void);

// Shows status (one line, made safe) as the unit's STATUS=, e.g. while the relay waits for CUPS.
void NotifyHostStatus(const char *status);

// Shows again the status of a relay that serves its port ("Relaying port ..."), once ready.
void NotifyHostRelaying(void);

// The exit status of a relay whose hold folder can no longer record a job's outcome (a job the
// scheduler took whose copy cannot be deleted): the unit ends failed rather than serve on.
enum { HOST_EXIT_HOLD_UNTRUE = 8 };

// Ends the process with HOST_EXIT_HOLD_UNTRUE, telling systemd why; the caller has written the
// reason to standard error. Does not return.
[[noreturn]] void EndHostForHoldFailure(const char *reason);

// The listening socket systemd passed (LISTEN_FDS), taken once; -1 when there is none.
int TakeInheritedListener(void);

// True when fd is the inherited listening socket, bound to this address and port (network order).
bool InheritedListenerBoundTo(int fd, uint32_t addressNetOrder, uint16_t portNetOrder);

// Forgets the inherited socket when it is closed.
void ForgetInheritedListener(int fd);

// Tells systemd, the first time only, that the relay waits for clients on this listening socket
// and relays them to the queue named printer.
void NotifyHostReady(int listener, const char *printer);

// Records the listener whose accept queue a stop counts.
void NoteHostListener(int listener);

// Records whether a connection is being served, for the stop's status line.
void SetHostServingClient(bool serving);

// A descriptor that becomes readable once a stop has been requested; -1 when there is none.
int HostStopWakeDescriptor(void);

// True while a requested stop still serves a client that was queued at its signal and is queued
// now, for at most 10 s after the signal; each true counts one of them off.
bool HostStopServesQueued(int listener);

// Tells systemd the relay stops; stoppingJob says a job is still being received. Safe in a
// signal handler.
void NotifyHostStopping(bool stoppingJob);

// Ends the process with status 0 for a requested stop, telling systemd; does not return.
[[noreturn]] void EndHostForStop(void);

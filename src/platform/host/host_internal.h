// Host layer internals shared by its own files: where the layer keeps its files, and helpers.
#pragma once

#include <stddef.h>
#include <time.h>
#include <stdint.h>

// Fills buffer with root/relative; false when it does not fit.
bool HostPath(char *buffer, size_t capacity, const char *relative);

// Creates a directory and every missing parent; false on failure.
bool MakeDirectories(const char *path);

// Replaces, in place, each control character of UTF-8 text (C0, DEL, C1) and each line or
// paragraph separator (U+2028, U+2029) and bidi control (U+202A-U+202E, U+2066-U+2069) with '?'.
void MakeLineSafe(char *text);

// Sets the calling thread's last error number.
void SetHostError(unsigned int error);

// Writes every byte to a descriptor; false when the system takes no more.
bool WriteAllBytes(int fd, const void *data, size_t size);

// Fills buffer with the IPv4 address, dotted, of the peer of the connection that accept returned
// last; "" before any.
void LastAcceptedPeer(char *buffer, size_t capacity);

// The record of the connection being served, which the job begun on it holds (see
// linux/job/job.h); the serial tells that connection from a later one.
struct ServedClient;

// Hands the served connection's record to the job that begins on it (its serial to *serial);
// NULL when no connection is served or a job holds the record already.
ServedClient *HostBindServedClient(unsigned long *serial);

// True when the job's connection broke off (a reset or a receive error): on Linux that is no job.
bool HostClientBrokeOff(const ServedClient *client, unsigned long serial);

// Tells the job's client that its job is delivered, by an orderly end of its connection before
// the relay closes it; does nothing unless its stream ended in order. Only a job's seal calls it.
void HostTellClientDone(ServedClient *client, unsigned long serial);

// Keeps the job's client from hearing done: the close of its connection resets it.
void HostTellClientFailed(ServedClient *client, unsigned long serial);

// The port of the listening socket that accept served last; 0 before any accept.
int HostListenPort(void);

// Sends the jobs that an earlier run of this instance left held, before the first client is
// served (the spooler's part of the first accept).
void HostDeliverHeldJobs(void);

// True once the process has been asked to stop (SIGTERM from systemctl stop or restart): a wait
// for the scheduler gives up and leaves its job held for the next start, and the relay ends once
// the job being received is complete and the clients already queued are served.
bool HostStopRequested(void);

// Marks the process as asked to stop; safe in a signal handler.
void RequestHostStop(void);

// Readies the process for a stop signal (SIGTERM) and for systemd's notification socket; called
// when sockets are started, later calls do nothing.
void StartHostProcess(void);

// A descriptor that becomes readable once a stop has been requested; -1 when there is none.
int HostStopWakeDescriptor(void);

// True while a requested stop still serves a client that is queued on the listening socket now:
// for 60 s after the stop signal, so that a stream of new clients cannot hold a stop for ever.
bool HostStopServesQueued(int listener);

// Ends the process with status 0 for a requested stop, telling systemd; does not return.
[[noreturn]] void EndHostForStop(void);

// The exit status of a relay whose hold folder can no longer record a job's outcome (a job the
// scheduler took whose copy cannot be deleted): the unit ends failed rather than serve on.
enum { HOST_EXIT_HOLD_UNTRUE = 8 };

// Ends the process with HOST_EXIT_HOLD_UNTRUE, telling systemd why; the caller has written the
// reason to standard error. Does not return.
[[noreturn]] void EndHostForHoldFailure(const char *reason);

// Shows status (one line, made safe) as the unit's STATUS=, e.g. while the relay waits for CUPS.
void NotifyHostStatus(const char *status);

// Shows again the status of a relay that serves its port ("Relaying port ..."), once ready.
void NotifyHostRelaying(void);

// Records whether a connection is being served (for the stop's status line).
void SetHostServingClient(bool serving);

// Tells systemd, the first time only, that the relay waits for clients on this listening socket.
void NotifyHostReady(int listener);

// The listening socket systemd passed (LISTEN_FDS), taken once; -1 when there is none.
int TakeInheritedListener(void);

// True when fd is the inherited listening socket, bound to this address and port (network order).
bool InheritedListenerBoundTo(int fd, uint32_t addressNetOrder, uint16_t portNetOrder);

// Forgets the inherited socket when it is closed.
void ForgetInheritedListener(int fd);

// Seconds on a clock that only moves forward, for the layer's waits and bounds.
time_t HostSeconds(void);

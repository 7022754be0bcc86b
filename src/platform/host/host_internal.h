// Host layer internals shared by its own files: where the layer keeps its files, and helpers.
#pragma once

#include <stdarg.h>
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

// Formats a line into line (cut to capacity) and makes it safe, as MakeLineSafe does.
void FormatSafeLine(char *line, size_t capacity, const char *format, va_list arguments);

// Sets the calling thread's last error number.
void SetHostError(unsigned int error);

// Writes every byte to a descriptor; false when the system takes no more.
bool WriteAllBytes(int fd, const void *data, size_t size);

// Fills buffer with the address of the peer of the connection that accept returned last, as the
// lines show it (an IPv4 client dotted, an IPv6 one compressed with its scope); "" before any.
void LastAcceptedPeer(char *buffer, size_t capacity);

// Marks the connection being served as broken off: the job begun on it is then not printed.
void HostAbortServedClient(void);

// Leaves error for WSAGetLastError; returns SOCKET_ERROR.
int HostSocketFailure(int error);

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

// The port of the socket that listened last; 0 before any listen.
int HostListenPort(void);

// Sends the jobs that an earlier run of this instance left held, before the first client is
// served (the spooler's part of the service runner's first call).
void HostDeliverHeldJobs(void);

// Seconds on a clock that only moves forward, for the layer's waits and bounds.
time_t HostSeconds(void);

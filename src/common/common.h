// Process-wide state and the helpers every subsystem uses: bounded formatting, the log file,
// console output and the service status record.
#pragma once

#include "platform/platform.h"

enum {
    PATH_BUFFER_SIZE = 1024, // service command line; configuration key path when writing
    LINE_BUFFER_SIZE = 256,  // log lines; configuration key path when reading
    INSTANCE_NAME_SIZE = 64, // "KVFerrolink_<port>"
    PRINTER_NAME_SIZE = 256, // at most 255 characters and the terminating NUL
};

// Instance state: one of each per process, in static storage.
extern unsigned short ListenPort;  // port listened on; the service key's "Port" may replace it
extern unsigned int RequestedPort; // port decided from the command line
extern char InstanceName[INSTANCE_NAME_SIZE];
extern char PrinterName[PRINTER_NAME_SIZE];
extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE StatusHandle;

// Formats like printf into a buffer of the given capacity; text that does not fit is cut.
void FormatBounded(char *buffer, size_t capacity, const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Formats a log line of prefix, name and tail: each control character of the name becomes '?'
// (under UTF-8 also C1 controls, U+2028, U+2029 and the bidi controls U+202A-U+202E,
// U+2066-U+2069), and a name too long for the line is cut on a character boundary, so prefix and
// tail stay whole.
void FormatNameLine(char *line, size_t capacity, const char *prefix, const char *name,
                    const char *tail);

// Appends one line to "Ferrolink.log", others may read the file meanwhile. A file another writer
// holds is tried again for up to about 0.3 s, then written with full sharing; the line is lost
// only when the file cannot be opened at all (no rights, or a holder that denies writing).
void LogLine(const char *text);

// Empties "Ferrolink.log" in place (tried again while another writer holds it), deleting it only
// when it cannot be opened for writing; a failure is ignored.
void ResetLog(void);

// Tells whether ANSI text holds exactly the wide text (compared up to limit bytes): the wide text,
// converted to the active code page without best-fit or default characters, gives the same bytes.
bool AnsiMatchesWide(const char *ansi, LPCWSTR wide, size_t limit);

// Prints a formatted message on standard output.
void ConsolePrint(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Fills the service status record with its start values (nothing is reported).
void InitServiceStatus(void);

// Keeps the handle that every status report uses.
void SetStatusHandle(SERVICE_STATUS_HANDLE handle);

// Sets the service's state and exit code, then reports the whole record.
void ReportServiceStatus(DWORD state, DWORD exitCode);

// Reports the record as it stands (an interrogation).
void ReportCurrentServiceStatus(void);

// Reports the service stopped with the given exit code.
void ReportServiceStopped(DWORD exitCode);

// Remembers why the relay could not serve, as the service's stop code for the same failure (3 no
// socket, 4 no bind, 5 no listen); the last one noted counts.
void NoteRelayFailure(DWORD exitCode);

// The process's exit status once its mode has run: 0 on Windows, where a console run ends with 0
// even after a reported failure; on Linux the code noted by NoteRelayFailure (0 when none), so
// that a service manager sees a relay that could not serve as failed (HostExitStatus decides).
int RelayExitStatus(void);

// Tells whether the service's current state is running.
bool ServiceIsRunning(void);

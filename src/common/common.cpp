// Process-wide instance state, bounded formatting, log lines (names made safe, the file shared
// with readers and retried while another writer holds it) and console output.

#include "common/common.h"

#include <stdarg.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>

unsigned short ListenPort = 9100;
unsigned int RequestedPort = 9100;
char InstanceName[INSTANCE_NAME_SIZE];
char PrinterName[PRINTER_NAME_SIZE];

static const char LogFileName[] = "Ferrolink.log";

enum {
    LOG_OPEN_ATTEMPTS = 25,  // with the pauses about 0.25 s (0.4 s on a 15.6 ms timer) in all
    LOG_RETRY_PAUSE_MS = 10, // a line of another writer takes far less
};

// Formats like printf into a fixed buffer, always terminated, cutting what does not fit.
void FormatBounded(char *buffer, size_t capacity, const char *format, ...) {
    va_list arguments;
    if (capacity == 0)
        return;
    buffer[0] = '\0';
    va_start(arguments, format);
    vsnprintf(buffer, capacity, format, arguments);
    va_end(arguments);
    // Some C run-times leave a cut buffer unterminated (and report -1): what fits is kept.
    buffer[capacity - 1] = '\0';
}

// Tells whether the last open of the log failed because another holder's sharing refused it.
static bool LogWasBusy(void) {
    return _doserrno == ERROR_SHARING_VIOLATION || _doserrno == ERROR_LOCK_VIOLATION;
}

// Opens the log in the given mode. Writers exclude each other, so lines of two relays sharing a
// folder (or of the service's two threads) never mix, while readers such as viewers and log
// shippers may hold the file. Another writer holds it for one line only: a busy file is tried
// again. NULL when it cannot be opened; LogWasBusy() then tells whether another still held it.
static FILE *OpenLogExclusive(const char *mode) {
    for (int attempt = 1; attempt < LOG_OPEN_ATTEMPTS; attempt++) {
        FILE *log = _fsopen(LogFileName, mode, _SH_DENYWR);
        if (log != NULL || !LogWasBusy())
            return log;
        Sleep(LOG_RETRY_PAUSE_MS);
    }
    return NULL;
}

// Opens the log for one line.
static FILE *OpenLogForLine(void) {
    FILE *log = OpenLogExclusive("a+");
    // Held for longer than any line takes, by some other program: write beside it where its own
    // sharing allows, rather than lose the only trace of a job.
    if (log == NULL && LogWasBusy())
        log = _fsopen(LogFileName, "a+", _SH_DENYNO);
    return log;
}

// Appends one line to the log; the file is open for that line only.
void LogLine(const char *text) {
    FILE *log = OpenLogForLine();
    if (log == NULL)
        return;
    fprintf(log, "%s\n", text);
    fclose(log);
}

// The longest cut of text at or before limit bytes that splits no character of the active code
// page: a UTF-8 sequence, or a lead byte and its trail.
static size_t CharacterBoundary(const char *text, size_t limit) {
    if (GetACP() == CP_UTF8) {
        while (limit > 0 && ((unsigned char)text[limit] & 0xC0) == 0x80)
            limit--;
        return limit;
    }
    size_t at = 0;
    for (;;) {
        size_t step = IsDBCSLeadByte((BYTE)text[at]) && text[at + 1] != '\0' ? 2 : 1;
        if (at + step > limit)
            return at;
        at += step;
    }
}

// The length of the unsafe character that starts at text[at], 0 for a safe one. Unsafe are C0
// and DEL, and under UTF-8 also the C1 controls (U+0080 to U+009F), the line and paragraph
// separators (U+2028, U+2029) and the bidi controls (U+202A to U+202E, U+2066 to U+2069), which a
// viewer may show as a line break or use to reorder the rest of the line.
static size_t UnsafeLengthAt(const char *text, size_t length, size_t at) {
    const unsigned char *c = (const unsigned char *)text + at;
    if (c[0] < 0x20 || c[0] == 0x7F)
        return 1;
    if (GetACP() != CP_UTF8)
        return 0;
    if (c[0] == 0xC2 && at + 1 < length && c[1] >= 0x80 && c[1] <= 0x9F)
        return 2;
    if (c[0] != 0xE2 || at + 2 >= length)
        return 0;
    bool separatorOrEmbedding = c[1] == 0x80 && c[2] >= 0xA8 && c[2] <= 0xAE;
    bool isolate = c[1] == 0x81 && c[2] >= 0xA6 && c[2] <= 0xA9;
    return separatorOrEmbedding || isolate ? 3 : 0;
}

// Builds prefix, name and tail into the line. A name is data from outside: a CR or LF in it must
// not start a line of its own, so no control character of it reaches the log, nor a character
// that a viewer shows as a line break or uses to reorder the line.
void FormatNameLine(char *line, size_t capacity, const char *prefix, const char *name,
                    const char *tail) {
    size_t prefixLength = strlen(prefix);
    size_t tailLength = strlen(tail);
    if (prefixLength + tailLength >= capacity) {
        FormatBounded(line, capacity, "%s%s", prefix, tail);
        return;
    }
    size_t length = strlen(name);
    size_t room = capacity - 1 - prefixLength - tailLength;
    if (length > room)
        length = CharacterBoundary(name, room);
    memcpy(line, prefix, prefixLength);
    char *at = line + prefixLength;
    for (size_t i = 0; i < length; i++) {
        size_t unsafe = UnsafeLengthAt(name, length, i);
        *at++ = unsafe != 0 ? '?' : name[i];
        if (unsafe > 1)
            i += unsafe - 1;
    }
    memcpy(at, tail, tailLength + 1);
}

// Starts the log afresh at the start of a run by emptying it in place. A delete would not do: a
// reader that allows deletion leaves the file only marked for deletion, so this run's lines would
// go to a file that vanishes when the reader closes it, and a reader that does not allow it keeps
// the old lines. Another writer (a relay sharing the folder) holds it for one line: tried again.
void ResetLog(void) {
    FILE *log = OpenLogExclusive("w");
    if (log != NULL) {
        fclose(log);
        return;
    }
    // Not writable at all (a holder that denies writing, or no rights): deleting is what is left.
    remove(LogFileName);
}

// Checks ANSI text against its wide form. Under a code page other than UTF-8 the system may put a
// look-alike in place of a character the code page lacks ("Łab" becomes "Lab"); the conversion
// here refuses that, so such text never compares equal.
bool AnsiMatchesWide(const char *ansi, LPCWSTR wide, size_t limit) {
    char converted[PATH_BUFFER_SIZE];
    BOOL usedDefault = FALSE;
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, converted, sizeof converted,
                               NULL, &usedDefault) > 0 &&
           !usedDefault && strncmp(converted, ansi, limit) == 0;
}

// Prints a message of the installing and removing commands on standard output.
void ConsolePrint(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stdout, format, arguments);
    va_end(arguments);
    fflush(stdout);
}

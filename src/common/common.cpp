// Process-wide instance state, bounded formatting, the log file and console output.

#include "common/common.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

unsigned short ListenPort = 9100;
unsigned int RequestedPort = 9100;
char InstanceName[INSTANCE_NAME_SIZE];
char PrinterName[PRINTER_NAME_SIZE];

static const char LogFileName[] = "Ferrolink.log";

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

// Appends one line to the log with an exclusive open held for that line only.
void LogLine(const char *text) {
    FILE *log = _fsopen(LogFileName, "a+", _SH_DENYRW);
    if (log == NULL)
        return;
    fprintf(log, "%s\n", text);
    fclose(log);
}

// Deletes the log file at the start of a run.
void ResetLog(void) {
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

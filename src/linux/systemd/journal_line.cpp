// The relay's own lines on standard error, which systemd puts in the unit's journal: the waits
// for CUPS, its refusals and the held jobs' fates. Apart from the log's copy to the journal
// (systemd_journal.cpp), which the host layer's file writer calls.

#include "systemd_runner.h"

#include "platform/host/host_internal.h"

#include <stdarg.h>
#include <stdio.h>

// Writes a line to standard error (the unit's journal under systemd), whole; queue names and the
// scheduler's reasons in it are data from outside, so nothing in them may start a line of its own.
void Journal(const char *format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    FormatSafeLine(line, sizeof line, format, arguments);
    va_end(arguments);
    fprintf(stderr, "%s\n", line);
}

// The relay's log under systemd: the system's own writer of Ferrolink.log, which the listener hands
// over, for the lines of the Linux parts; and whether standard error is the stream systemd
// connected to the unit's journal, so that the log's lines are copied there too.

#include "systemd_runner.h"

#include "platform/host/host_seams.h"

#include <stddef.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

// True when standard error is the journal stream systemd connected: JOURNAL_STREAM names it as
// "<device>:<inode>", and a child that inherited the variable but redirected standard error
// elsewhere must not copy its lines there.
bool JournalCopyWanted(void) {
    const char *stream = getenv("JOURNAL_STREAM");
    if (stream == NULL || stream[0] == '\0')
        return false;
    char *end = NULL;
    unsigned long long device = strtoull(stream, &end, 10);
    if (end == stream || *end != ':')
        return false;
    const char *inodeText = end + 1;
    unsigned long long inode = strtoull(inodeText, &end, 10);
    if (end == inodeText || *end != '\0')
        return false;
    struct stat status;
    if (fstat(STDERR_FILENO, &status) != 0)
        return false;
    return (unsigned long long)status.st_dev == device &&
           (unsigned long long)status.st_ino == inode;
}

static HostLogWriter LogWriter;

// Keeps the system's log writer.
void SetRelayLogWriter(HostLogWriter log) {
    LogWriter = log;
}

// Writes a line through the system's log writer, once it was handed over.
void WriteRelayLog(const char *line) {
    if (LogWriter != NULL)
        LogWriter(line);
}

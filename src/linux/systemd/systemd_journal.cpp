// The journal under systemd: whether the relay's standard error is the stream systemd connected
// to the unit's journal, so that the log's lines are copied there too.

#include "systemd_runner.h"

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

// The hold folder's scan at a start: the jobs an earlier run held whole, oldest first, read in
// batches of one pass of the folder each. On disk the suffix of a name is what records whether a
// job was received whole (.job) or not (.part), and the header whether the scheduler took it.

#include "hold_file.h"

#include "linux/systemd/systemd_runner.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Tells whether a name ends with the suffix.
static bool EndsWith(const char *name, const char *suffix) {
    size_t length = strlen(name), tail = strlen(suffix);
    return length > tail && strcmp(name + length - tail, suffix) == 0;
}

// The scan of earlier runs' jobs: a sorted batch of names read in one pass of the folder, and
// the last name opened, after which the next batch begins.
static char Batch[HOLD_SCAN_BATCH][120];
static int BatchCount, BatchNext;
static bool BatchFull, Scanning;
static char Cursor[120];

// Puts a job's name into the sorted batch, keeping the HOLD_SCAN_BATCH oldest.
static void AddToBatch(const char *name) {
    int low = 0, high = BatchCount;
    while (low < high) {
        int middle = (low + high) / 2;
        if (strcmp(Batch[middle], name) < 0)
            low = middle + 1;
        else
            high = middle;
    }
    if (BatchCount == HOLD_SCAN_BATCH) {
        BatchFull = true;
        if (low == HOLD_SCAN_BATCH)
            return;
        BatchCount--; // the newest makes room
    }
    memmove(Batch[low + 1], Batch[low], (size_t)(BatchCount - low) * sizeof Batch[0]);
    snprintf(Batch[low], sizeof Batch[low], "%s", name);
    BatchCount++;
}

// Reads the folder once: deletes .part files and keeps the oldest .job names after Cursor.
static bool ReadBatch(const char *folder) {
    BatchCount = BatchNext = 0;
    BatchFull = false;
    DIR *directory = opendir(folder);
    if (directory == NULL)
        return false;
    struct dirent *entry;
    char path[1200], first[1200];
    int kept = 0, why = 0;
    while ((entry = readdir(directory)) != NULL) {
        if (EndsWith(entry->d_name, ".part")) {
            snprintf(path, sizeof path, "%s/%s", folder, entry->d_name);
            if (unlink(path) != 0 && errno != ENOENT && kept++ == 0) {
                memcpy(first, path, sizeof first);
                why = errno;
            }
        } else if (EndsWith(entry->d_name, ".job") && strlen(entry->d_name) < sizeof Cursor &&
                   strcmp(entry->d_name, Cursor) > 0) {
            AddToBatch(entry->d_name);
        }
    }
    closedir(directory);
    if (kept > 0) // one line, however many: they are never sent
        Journal("Cannot delete %d file(s) of jobs whose clients broke off, such as %s (%s).", kept,
                first, strerror(why));
    return true;
}

// Opens the held job at hold->path: read-write, or read only where the file is another user's
// (a copy or restore made by root); deleting it needs only the folder's write permission.
static int OpenHeld(const char *path) {
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    return fd;
}

// Checks the held file's header; NULL when it is a whole job this relay wrote and that is still
// to be sent, else why it is not.
static const char *CheckHeader(HoldFile *hold) {
    struct stat status;
    if (fstat(hold->fd, &status) != 0 || status.st_size < HOLD_HEADER_SPACE ||
        pread(hold->fd, &hold->header, sizeof hold->header, 0) != (ssize_t)sizeof hold->header)
        return "is damaged";
    if (memcmp(hold->header.magic, HoldTakenMagic, sizeof HoldTakenMagic) == 0)
        return "was taken by CUPS already";
    if (memcmp(hold->header.magic, HoldMagic, sizeof HoldMagic) != 0)
        return "is damaged";
    hold->header.queue[HOLD_QUEUE_SIZE - 1] = '\0';
    hold->header.title[HOLD_TITLE_SIZE - 1] = '\0';
    hold->header.host[HOLD_HOST_SIZE - 1] = '\0';
    hold->header.tag[HOLD_TAG_SIZE - 1] = '\0';
    hold->header.address[HOLD_ADDRESS_SIZE - 1] = '\0';
    hold->size = (unsigned long long)(status.st_size - HOLD_HEADER_SPACE);
    // Version 1 recorded no length: its file's size is the job's.
    if (hold->header.version >= 2 && hold->header.length != hold->size)
        return "does not hold the length its header records";
    return hold->size == 0 ? "holds no bytes" : NULL;
}

// Deletes a held file that is not to be sent, saying why.
static void DropHeld(HoldFile *hold, const char *why) {
    char path[sizeof hold->path];
    memcpy(path, hold->path, sizeof path);
    if (HoldRemove(hold))
        Journal("The held job %s %s and is deleted.", path, why);
    else
        Journal("The held job %s %s and cannot be deleted (%s); it is left alone.", path, why,
                strerror(errno));
}

// Opens the next name of the batch; false when it is not a file the relay can read.
static bool OpenNext(HoldFile *hold, const char *folder) {
    const char *name = Batch[BatchNext++];
    snprintf(Cursor, sizeof Cursor, "%s", name);
    snprintf(hold->path, sizeof hold->path, "%s/%s", folder, name);
    // The batch holds .job names only.
    snprintf(hold->stem, sizeof hold->stem, "%s/%.*s", folder, (int)strlen(name) - 4, name);
    hold->fd = OpenHeld(hold->path);
    struct stat status;
    if (hold->fd >= 0 && fstat(hold->fd, &status) == 0 && S_ISREG(status.st_mode))
        return true;
    Journal("%s is not a held job that the relay can read (%s); it is left alone.", hold->path,
            hold->fd < 0 ? strerror(errno) : "not a file");
    HoldClose(hold);
    return false;
}

// Opens the oldest held job not yet opened by this scan; what cannot be sent is passed over.
bool HoldOpenOldest(HoldFile *hold) {
    char folder[900];
    HoldFolder(folder, sizeof folder);
    HoldReset(hold);
    JobBegin(&hold->job, false);
    for (;;) {
        if (BatchNext == BatchCount) {
            bool more = !Scanning || BatchFull;
            if (!Scanning)
                Cursor[0] = '\0';
            Scanning = more && folder[0] != '\0' && ReadBatch(folder) && BatchCount > 0;
            if (!Scanning)
                return false;
        }
        if (!OpenNext(hold, folder))
            continue;
        const char *why = CheckHeader(hold);
        if (why == NULL) {
            JobBegin(&hold->job, false);
            hold->job.state = JOB_TOLD; // its client heard done in the earlier run
            return true;
        }
        DropHeld(hold, why);
    }
}

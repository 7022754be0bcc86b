// Host layer: the hold file. A job's file is <root>/held/<port>/<time>-<uuid>.part while the job
// arrives and is renamed to .job once its client has ended it: a restart sends .job files again,
// oldest first, and deletes .part files, whose clients saw the relay break off. The file begins
// with a fixed header (the destination, the title, the client's address and the job's UUID);
// the job's bytes follow unchanged. A job is synced to the disk, its bytes and then its new name,
// before its client is told that it was delivered, so that a crash of the machine itself, not
// only a killed relay, leaves it held whole.

#include "hold_file.h"

#include "cups_delivery.h"
#include "platform/host/host_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum {
    HEADER_SPACE = 1024,       // the job's bytes start here
    WRITE_BACK_STEP = 4 << 20, // bytes after which their writing to the disk is begun
};

static const char Magic[16] = "FERROLINK-HOLD1";

static_assert(sizeof(HoldHeader) <= HEADER_SPACE, "the header fits its space");

// Fills buffer with the instance's hold folder.
void HoldFolder(char *buffer, size_t capacity) {
    char relative[32];
    snprintf(relative, sizeof relative, "held/%d", HostListenPort());
    if (!HostPath(buffer, capacity, relative))
        buffer[0] = '\0';
}

// Marks a hold as closed.
void HoldReset(HoldFile *hold) {
    hold->fd = -1;
    hold->size = 0;
    hold->path[0] = '\0';
}

// Writes a fresh UUID (version 4) for the job.
static void NewTag(char *tag, size_t capacity) {
    unsigned char r[16];
    if (getrandom(r, sizeof r, 0) != (ssize_t)sizeof r) {
        // No entropy yet: the time and the process still make the tag unique here.
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        memset(r, 0, sizeof r);
        memcpy(r, &now, sizeof now < sizeof r ? sizeof now : sizeof r);
        pid_t pid = getpid();
        memcpy(r + 12, &pid, sizeof pid);
    }
    r[6] = (unsigned char)((r[6] & 0x0F) | 0x40);
    r[8] = (unsigned char)((r[8] & 0x3F) | 0x80);
    snprintf(tag, capacity, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
             r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11], r[12], r[13],
             r[14], r[15]);
}

// Creates the hold file with its header.
bool HoldCreate(HoldFile *hold, const char *queue, const char *title, const char *host) {
    char folder[900];
    HoldReset(hold);
    memset(&hold->header, 0, sizeof hold->header);
    memcpy(hold->header.magic, Magic, sizeof Magic);
    snprintf(hold->header.queue, sizeof hold->header.queue, "%s", queue);
    snprintf(hold->header.title, sizeof hold->header.title, "%s", title);
    snprintf(hold->header.host, sizeof hold->header.host, "%s", host);
    NewTag(hold->header.tag, sizeof hold->header.tag);
    HoldFolder(folder, sizeof folder);
    if (folder[0] == '\0') {
        errno = ENAMETOOLONG;
        return false;
    }
    if (!MakeDirectories(folder))
        return false;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    snprintf(hold->path, sizeof hold->path, "%s/%011lld.%09ld-%s.part", folder,
             (long long)now.tv_sec, now.tv_nsec, hold->header.tag);
    hold->fd = open(hold->path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (hold->fd < 0)
        return false;
    if (pwrite(hold->fd, &hold->header, sizeof hold->header, 0) != (ssize_t)sizeof hold->header) {
        if (errno == 0)
            errno = ENOSPC;
        HoldRemove(hold);
        return false;
    }
    return true;
}

// Appends bytes after those already held.
bool HoldAppend(HoldFile *hold, const void *data, size_t size) {
    const char *bytes = (const char *)data;
    while (size > 0) {
        ssize_t written = pwrite(hold->fd, bytes, size, (off_t)(HEADER_SPACE + hold->size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += written;
        size -= (size_t)written;
        unsigned long long before = hold->size;
        hold->size += (unsigned long long)written;
        // A large job's pages start for the disk as it arrives, so that the sync at its end waits
        // for the last few only.
        if (before / WRITE_BACK_STEP != hold->size / WRITE_BACK_STEP)
            sync_file_range(hold->fd,
                            (off_t)(HEADER_SPACE + before / WRITE_BACK_STEP * WRITE_BACK_STEP),
                            WRITE_BACK_STEP, SYNC_FILE_RANGE_WRITE);
    }
    return true;
}

// Writes a folder's entries to the disk, so that a name given in it survives a crash; a folder
// that cannot be synced leaves the name to the kernel, as for a killed relay.
static void SyncFolderOf(const char *path) {
    char folder[sizeof(HoldFile::path)];
    snprintf(folder, sizeof folder, "%s", path);
    char *slash = strrchr(folder, '/');
    if (slash == NULL)
        return;
    *slash = '\0';
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Syncs the .part file and renames it to .job.
bool HoldComplete(HoldFile *hold) {
    char done[sizeof hold->path];
    size_t length = strlen(hold->path);
    if (length < 5 || strcmp(hold->path + length - 5, ".part") != 0)
        return true; // already complete
    memcpy(done, hold->path, length - 5);
    memcpy(done + length - 5, ".job", 5);
    if (fdatasync(hold->fd) != 0 || rename(hold->path, done) != 0)
        return false;
    memcpy(hold->path, done, sizeof done);
    SyncFolderOf(hold->path);
    return true;
}

// Reads held bytes.
long HoldRead(HoldFile *hold, unsigned long long offset, void *buffer, size_t size) {
    if (offset >= hold->size)
        return 0;
    if (size > hold->size - offset)
        size = (size_t)(hold->size - offset);
    ssize_t got;
    do {
        got = pread(hold->fd, buffer, size, (off_t)(HEADER_SPACE + offset));
    } while (got < 0 && errno == EINTR);
    return (long)got;
}

// Deletes the file and closes it; a file already gone counts as deleted.
bool HoldRemove(HoldFile *hold) {
    bool removed = hold->path[0] == '\0' || unlink(hold->path) == 0 || errno == ENOENT;
    int saved = errno;
    HoldRelease(hold);
    errno = saved;
    return removed;
}

// Closes the file.
void HoldRelease(HoldFile *hold) {
    if (hold->fd >= 0)
        close(hold->fd);
    HoldReset(hold);
}

// Tells whether a name ends with the suffix.
static bool EndsWith(const char *name, const char *suffix) {
    size_t length = strlen(name), tail = strlen(suffix);
    return length > tail && strcmp(name + length - tail, suffix) == 0;
}

// Tells whether the file the hold reads is still the one at its path.
bool HoldOnDisk(const HoldFile *hold) {
    struct stat open, named;
    return hold->fd >= 0 && hold->path[0] != '\0' && fstat(hold->fd, &open) == 0 &&
           open.st_nlink > 0 && stat(hold->path, &named) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}

// Copies the header and the job's bytes from the open file to fd.
static bool CopyHeld(HoldFile *hold, int fd, char *buffer, size_t capacity) {
    if (pwrite(fd, &hold->header, sizeof hold->header, 0) != (ssize_t)sizeof hold->header)
        return false;
    for (unsigned long long offset = 0; offset < hold->size;) {
        long got = HoldRead(hold, offset, buffer, capacity);
        if (got <= 0) {
            if (got == 0)
                errno = EIO; // shorter than it was: the copy would not be the job
            return false;
        }
        ssize_t put = pwrite(fd, buffer, (size_t)got, (off_t)(HEADER_SPACE + offset));
        if (put != (ssize_t)got) {
            if (put >= 0)
                errno = ENOSPC;
            return false;
        }
        offset += (unsigned long long)got;
    }
    return true;
}

// Writes the job again under its own name (or a fresh one), first as .part, then renamed to
// .job: a kill in between leaves no job that could be sent cut.
bool HoldRestore(HoldFile *hold, char *buffer, size_t capacity) {
    char folder[900], name[200], part[sizeof hold->path], done[sizeof hold->path];
    if (hold->fd < 0) {
        errno = EBADF;
        return false;
    }
    HoldFolder(folder, sizeof folder);
    const char *slash = strrchr(hold->path, '/');
    snprintf(name, sizeof name, "%s", slash != NULL ? slash + 1 : "");
    size_t length = strlen(name);
    if (EndsWith(name, ".part"))
        name[length - 5] = '\0';
    else if (EndsWith(name, ".job"))
        name[length - 4] = '\0';
    if (name[0] == '\0') {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        snprintf(name, sizeof name, "%011lld.%09ld-%s", (long long)now.tv_sec, now.tv_nsec,
                 hold->header.tag);
    }
    if (folder[0] == '\0' ||
        snprintf(part, sizeof part, "%s/%s.part", folder, name) >= (int)sizeof part ||
        snprintf(done, sizeof done, "%s/%s.job", folder, name) >= (int)sizeof done) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (!MakeDirectories(folder))
        return false;
    unlink(part); // a leftover of an earlier attempt
    int fd = open(part, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (!CopyHeld(hold, fd, buffer, capacity) || rename(part, done) != 0) {
        int saved = errno;
        unlink(part);
        close(fd);
        errno = saved;
        return false;
    }
    close(hold->fd);
    hold->fd = fd;
    memcpy(hold->path, done, sizeof done);
    return true;
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

// Checks the held file's header; true when it is a job this relay wrote.
static bool ReadHeader(HoldFile *hold) {
    struct stat status;
    if (fstat(hold->fd, &status) != 0 || status.st_size < HEADER_SPACE ||
        pread(hold->fd, &hold->header, sizeof hold->header, 0) != (ssize_t)sizeof hold->header ||
        memcmp(hold->header.magic, Magic, sizeof Magic) != 0)
        return false;
    hold->header.queue[HOLD_QUEUE_SIZE - 1] = '\0';
    hold->header.title[HOLD_TITLE_SIZE - 1] = '\0';
    hold->header.host[HOLD_HOST_SIZE - 1] = '\0';
    hold->header.tag[HOLD_TAG_SIZE - 1] = '\0';
    hold->size = (unsigned long long)(status.st_size - HEADER_SPACE);
    return true;
}

// Opens the oldest held job not yet opened by this scan; what cannot be sent is passed over.
bool HoldOpenOldest(HoldFile *hold) {
    char folder[900];
    HoldFolder(folder, sizeof folder);
    HoldReset(hold);
    for (;;) {
        if (BatchNext == BatchCount) {
            bool more = !Scanning || BatchFull;
            if (!Scanning)
                Cursor[0] = '\0';
            Scanning = more && folder[0] != '\0' && ReadBatch(folder) && BatchCount > 0;
            if (!Scanning)
                return false;
        }
        const char *name = Batch[BatchNext++];
        snprintf(Cursor, sizeof Cursor, "%s", name);
        snprintf(hold->path, sizeof hold->path, "%s/%s", folder, name);
        hold->fd = OpenHeld(hold->path);
        struct stat status;
        if (hold->fd < 0 || fstat(hold->fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            Journal("%s is not a held job that the relay can read (%s); it is left alone.",
                    hold->path, hold->fd < 0 ? strerror(errno) : "not a file");
            HoldRelease(hold);
            continue;
        }
        if (ReadHeader(hold))
            return true;
        char path[sizeof hold->path];
        memcpy(path, hold->path, sizeof path);
        if (HoldRemove(hold))
            Journal("The held job %s is damaged and is deleted.", path);
        else
            Journal("The held job %s is damaged and cannot be deleted (%s); it is left alone.",
                    path, strerror(errno));
    }
}

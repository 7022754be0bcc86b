// The hold file. A job's file is <root>/held/<port>/<time>-<uuid>.part while the job arrives and
// is renamed to .job by its seal, once its client has ended it: a restart sends .job files again,
// oldest first, and deletes .part files, whose clients saw the relay break off. The file begins
// with a versioned header (hold_file.h: the destination, the title, the client's address, the
// job's UUID and, from version 2, its length); the job's bytes follow unchanged at
// HOLD_HEADER_SPACE. A job is sealed (linux/job/job.h) before its client is told that it was
// delivered, so that a crash of the machine itself, not only a killed relay, leaves it held
// whole. Once the scheduler took it, its magic is overwritten with the taken mark before the file
// is deleted: 1.2 reads such a file as damaged and deletes it, and neither version sends it.

#include "hold_file.h"

#include "platform/host/host_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum {
    WRITE_BACK_STEP = 4 << 20, // bytes after which their writing to the disk is begun
};

const char HoldMagic[16] = "FERROLINK-HOLD1";
const char HoldTakenMagic[16] = "FERROLINK-TAKEN";

static_assert(sizeof(HoldHeader) <= HOLD_HEADER_SPACE, "the header fits its space");
static_assert(offsetof(HoldHeader, version) == 592, "version 1's fields keep their places");

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
    hold->stem[0] = '\0';
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
    memcpy(hold->header.magic, HoldMagic, sizeof HoldMagic);
    hold->header.version = HOLD_VERSION;
    snprintf(hold->header.queue, sizeof hold->header.queue, "%s", queue);
    snprintf(hold->header.title, sizeof hold->header.title, "%s", title);
    // Version 1's field holds an IPv4 address only: an IPv6 client is in the address field alone.
    snprintf(hold->header.host, sizeof hold->header.host, "%s", strchr(host, ':') ? "" : host);
    snprintf(hold->header.address, sizeof hold->header.address, "%s", host);
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
    snprintf(hold->stem, sizeof hold->stem, "%s/%011lld.%09ld-%s", folder, (long long)now.tv_sec,
             now.tv_nsec, hold->header.tag);
    snprintf(hold->path, sizeof hold->path, "%s.part", hold->stem);
    hold->fd = open(hold->path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (hold->fd < 0)
        return false;
    if (!JobWrite(hold->fd, &hold->header, sizeof hold->header, 0)) {
        int saved = errno;
        HoldRemove(hold);
        errno = saved;
        return false;
    }
    return true;
}

// Appends bytes after those already held.
bool HoldAppend(HoldFile *hold, const void *data, size_t size) {
    if (!JobWrite(hold->fd, data, size, (off_t)(HOLD_HEADER_SPACE + hold->size)))
        return false;
    unsigned long long before = hold->size;
    hold->size += size;
    // A large job's pages start for the disk as it arrives, so that the sync at its end waits
    // for the last few only.
    if (before / WRITE_BACK_STEP != hold->size / WRITE_BACK_STEP)
        sync_file_range(hold->fd,
                        (off_t)(HOLD_HEADER_SPACE + before / WRITE_BACK_STEP * WRITE_BACK_STEP),
                        WRITE_BACK_STEP, SYNC_FILE_RANGE_WRITE);
    return true;
}

// Tells whether path names the open file fd.
static bool Names(const char *path, int fd) {
    struct stat open, named;
    return fstat(fd, &open) == 0 && stat(path, &named) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}

// Records the length, then seals the file under its whole name.
bool HoldSeal(HoldFile *hold) {
    char whole[sizeof hold->path];
    if (hold->fd < 0) {
        errno = EBADF;
        return false;
    }
    if (snprintf(whole, sizeof whole, "%s.job", hold->stem) >= (int)sizeof whole) {
        errno = ENAMETOOLONG;
        return false;
    }
    hold->header.length = hold->size;
    if (!JobWrite(hold->fd, &hold->header, sizeof hold->header, 0))
        return false;
    JobCopy copy = {hold->fd, hold->path, whole};
    bool sealed = JobSeal(&hold->job, &copy);
    int saved = errno;
    if (sealed || Names(whole, hold->fd)) // a sync after the rename may have failed
        memcpy(hold->path, whole, sizeof whole);
    errno = saved;
    return sealed;
}

// Reads held bytes.
long HoldRead(HoldFile *hold, unsigned long long offset, void *buffer, size_t size) {
    if (offset >= hold->size)
        return 0;
    if (size > hold->size - offset)
        size = (size_t)(hold->size - offset);
    ssize_t got;
    do {
        got = pread(hold->fd, buffer, size, (off_t)(HOLD_HEADER_SPACE + offset));
    } while (got < 0 && errno == EINTR);
    return (long)got;
}

// Overwrites the magic with the taken mark, synced.
bool HoldMarkTaken(HoldFile *hold) {
    if (hold->fd < 0) {
        errno = EBADF;
        return false;
    }
    return JobMarkTaken(&hold->job, hold->fd, HoldTakenMagic, sizeof HoldTakenMagic, 0);
}

// Deletes the file and closes it; a file already gone counts as deleted.
bool HoldRemove(HoldFile *hold) {
    bool removed = JobDelete(&hold->job, hold->path);
    int saved = errno;
    HoldClose(hold);
    errno = saved;
    return removed;
}

// Closes the file.
void HoldClose(HoldFile *hold) {
    if (hold->fd >= 0)
        close(hold->fd);
    HoldReset(hold);
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
    if (!JobWrite(fd, &hold->header, sizeof hold->header, 0))
        return false;
    for (unsigned long long offset = 0; offset < hold->size;) {
        long got = HoldRead(hold, offset, buffer, capacity);
        if (got <= 0) {
            if (got == 0)
                errno = EIO; // shorter than it was: the copy would not be the job
            return false;
        }
        if (!JobWrite(fd, buffer, (size_t)got, (off_t)(HOLD_HEADER_SPACE + offset)))
            return false;
        offset += (unsigned long long)got;
    }
    return true;
}

// Gives the copy its folder and a name: its own, or a fresh one when it has none.
static bool NameCopy(HoldFile *hold, char *part, size_t capacity) {
    char folder[900], stem[sizeof hold->stem];
    HoldFolder(folder, sizeof folder);
    const char *slash = strrchr(hold->stem, '/');
    int length = 0;
    if (slash != NULL && slash[1] != '\0')
        length = snprintf(stem, sizeof stem, "%s/%s", folder, slash + 1);
    else {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        length = snprintf(stem, sizeof stem, "%s/%011lld.%09ld-%s", folder, (long long)now.tv_sec,
                          now.tv_nsec, hold->header.tag);
    }
    if (folder[0] == '\0' || length >= (int)sizeof stem ||
        snprintf(part, capacity, "%s.part", stem) >= (int)capacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(hold->stem, stem, sizeof stem);
    return MakeDirectories(folder);
}

// Writes the job again under its own name (or a fresh one) as .part, then seals it: a kill in
// between leaves no job that could be sent cut.
bool HoldWriteAgain(HoldFile *hold, char *buffer, size_t capacity) {
    char part[sizeof hold->path];
    if (hold->fd < 0) {
        errno = EBADF;
        return false;
    }
    if (!NameCopy(hold, part, sizeof part))
        return false;
    unlink(part); // a leftover of an earlier attempt
    int fd = open(part, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (!CopyHeld(hold, fd, buffer, capacity)) {
        int saved = errno;
        unlink(part);
        close(fd);
        errno = saved;
        return false;
    }
    close(hold->fd);
    hold->fd = fd;
    memcpy(hold->path, part, sizeof part);
    hold->job.state = JOB_RECEIVING; // whole on disk again only once sealed
    return HoldSeal(hold);
}

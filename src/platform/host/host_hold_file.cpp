// Host layer: the hold file. A job's file is <root>/held/<port>/<time>-<uuid>.part while the job
// arrives and is renamed to .job once its client has ended it: a restart sends .job files again,
// oldest first, and deletes .part files, whose clients saw the relay break off. The file begins
// with a fixed header (the destination, the title, the client's address and the job's UUID);
// the job's bytes follow unchanged. Files are not synced: a killed relay leaves them to the
// kernel, which writes them out; only a crash of the machine itself may lose a held job.

#include "hold_file.h"

#include "host_internal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

enum { HEADER_SPACE = 1024 }; // the job's bytes start here

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
        hold->size += (unsigned long long)written;
    }
    return true;
}

// Renames the .part file to .job.
bool HoldComplete(HoldFile *hold) {
    char done[sizeof hold->path];
    size_t length = strlen(hold->path);
    if (length < 5 || strcmp(hold->path + length - 5, ".part") != 0)
        return true; // already complete
    memcpy(done, hold->path, length - 5);
    memcpy(done + length - 5, ".job", 5);
    if (rename(hold->path, done) != 0)
        return false;
    memcpy(hold->path, done, sizeof done);
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

// Deletes the file and closes it.
bool HoldRemove(HoldFile *hold) {
    bool removed = hold->path[0] == '\0' || unlink(hold->path) == 0 || errno == ENOENT;
    HoldRelease(hold);
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

// Finds the oldest .job file of the folder, deleting .part files on the way; false when none.
static bool OldestJob(const char *folder, char *oldest, size_t capacity) {
    DIR *directory = opendir(folder);
    if (directory == NULL)
        return false;
    oldest[0] = '\0';
    struct dirent *entry;
    char path[1200];
    while ((entry = readdir(directory)) != NULL) {
        if (EndsWith(entry->d_name, ".part")) {
            snprintf(path, sizeof path, "%s/%s", folder, entry->d_name);
            unlink(path);
        } else if (EndsWith(entry->d_name, ".job") && strlen(entry->d_name) < capacity &&
                   (oldest[0] == '\0' || strcmp(entry->d_name, oldest) < 0)) {
            snprintf(oldest, capacity, "%s", entry->d_name);
        }
    }
    closedir(directory);
    return oldest[0] != '\0';
}

// Opens the oldest held job; a file too damaged to send is deleted and the next one tried.
bool HoldOpenOldest(HoldFile *hold) {
    char folder[900], name[120];
    HoldFolder(folder, sizeof folder);
    HoldReset(hold);
    while (folder[0] != '\0' && OldestJob(folder, name, sizeof name)) {
        snprintf(hold->path, sizeof hold->path, "%s/%s", folder, name);
        hold->fd = open(hold->path, O_RDWR | O_CLOEXEC);
        off_t end = hold->fd >= 0 ? lseek(hold->fd, 0, SEEK_END) : -1;
        bool whole = end >= HEADER_SPACE &&
                     pread(hold->fd, &hold->header, sizeof hold->header, 0) ==
                         (ssize_t)sizeof hold->header &&
                     memcmp(hold->header.magic, Magic, sizeof Magic) == 0;
        if (whole) {
            hold->header.queue[HOLD_QUEUE_SIZE - 1] = '\0';
            hold->header.title[HOLD_TITLE_SIZE - 1] = '\0';
            hold->header.host[HOLD_HOST_SIZE - 1] = '\0';
            hold->header.tag[HOLD_TAG_SIZE - 1] = '\0';
            hold->size = (unsigned long long)(end - HEADER_SPACE);
            return true;
        }
        fprintf(stderr, "The held job %s is damaged and is deleted.\n", hold->path);
        if (!HoldRemove(hold))
            return false;
    }
    return false;
}

// The life of one job: the seal that alone tells a client done, the failure, the taken mark and
// the delete. A name given or taken away in a folder survives a crash of the machine only once
// the folder itself is synced, so every rename and unlink here is followed by the folder's fsync,
// and a failure of any sync counts: a client hears done only for a job the disk holds whole.

#include "job.h"

#include "platform/host/host_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

JobFileCalls JobFiles = {fdatasync, fsync, rename, unlink, pwrite};

// Begins the job, taking the served connection's record when the job has a client.
void JobBegin(Job *job, bool boundToClient) {
    job->state = JOB_RECEIVING;
    job->serial = 0;
    job->client = boundToClient ? HostBindServedClient(&job->serial) : NULL;
}

// Syncs the folder that holds path, so that a name given or taken there survives a crash.
static bool SyncFolderOf(const char *path) {
    char folder[1024];
    if (snprintf(folder, sizeof folder, "%s", path) >= (int)sizeof folder) {
        errno = ENAMETOOLONG;
        return false;
    }
    char *slash = strrchr(folder, '/');
    if (slash == NULL)
        snprintf(folder, sizeof folder, ".");
    else if (slash == folder)
        slash[1] = '\0';
    else
        *slash = '\0';
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = JobFiles.fsync(fd) == 0;
    int saved = errno;
    close(fd);
    errno = saved;
    return synced;
}

// Makes the copy whole on disk: its bytes, then its name, then its folder.
static bool MakeWhole(const JobCopy *copy) {
    if (JobFiles.fdatasync(copy->fd) != 0)
        return false;
    if (strcmp(copy->written, copy->whole) != 0 && JobFiles.rename(copy->written, copy->whole) != 0)
        return false;
    return SyncFolderOf(copy->whole);
}

// Seals the job; the one place that tells a client done.
bool JobSeal(Job *job, const JobCopy *copy) {
    if (copy != NULL && !MakeWhole(copy))
        return false;
    if (job->state < JOB_WHOLE)
        job->state = JOB_WHOLE;
    if (job->client != NULL)
        HostTellClientDone(job->client, job->serial);
    if (job->state < JOB_TOLD)
        job->state = JOB_TOLD;
    return true;
}

// True when the job's connection broke off.
bool JobBrokeOff(const Job *job) {
    return job->client != NULL && HostClientBrokeOff(job->client, job->serial);
}

// The client will hear a reset; nothing tells it done from here on.
void JobFail(Job *job) {
    if (job->client != NULL)
        HostTellClientFailed(job->client, job->serial);
    job->client = NULL;
    job->state = JOB_GONE;
}

// Writes every byte at offset.
bool JobWrite(int fd, const void *data, size_t size, off_t offset) {
    const char *bytes = (const char *)data;
    while (size > 0) {
        ssize_t written = JobFiles.pwrite(fd, bytes, size, offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += written;
        size -= (size_t)written;
        offset += written;
    }
    return true;
}

// Writes the taken mark into the copy and syncs it, before anything tries to delete the copy.
bool JobMarkTaken(Job *job, int fd, const void *mark, size_t size, off_t offset) {
    if (!JobWrite(fd, mark, size, offset) || JobFiles.fdatasync(fd) != 0)
        return false;
    job->state = JOB_TAKEN;
    return true;
}

// Deletes the copy. Its folder is not synced: a name that a crash brings back belongs to a job
// marked taken, or to one whose client heard no done, and neither is sent again.
bool JobDelete(Job *job, const char *path) {
    if (path[0] != '\0' && JobFiles.unlink(path) != 0 && errno != ENOENT)
        return false;
    job->state = JOB_GONE;
    return true;
}

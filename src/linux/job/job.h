// The life of one job on Linux, for both spoolers (CUPS and the folder one): receiving, whole on
// disk, told done, taken by CUPS, gone. A job holds the record of the connection that brought it,
// and only that job tells its client anything: an orderly end ("done") from JobSeal alone, once
// the job's bytes, its name and its folder are on the disk; a reset from JobFail. The file calls
// that make a job durable go through JobFileCalls, which the tests replace.
#pragma once

#include <stddef.h>
#include <sys/types.h>

enum JobState {
    JOB_RECEIVING, // bytes arriving; a restart never sends it
    JOB_WHOLE,     // whole on disk, synced; its client not told yet
    JOB_TOLD,      // its client heard done
    JOB_TAKEN,     // the scheduler has it; its copy marked so, then deleted
    JOB_GONE,      // nothing of it is left to do
};

// The file calls a job's durability rests on; each returns what the libc call does.
struct JobFileCalls {
    int (*fdatasync)(int fd);
    int (*fsync)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
    ssize_t (*pwrite)(int fd, const void *data, size_t size, off_t offset);
};
extern JobFileCalls JobFiles; // the libc calls unless a test replaced them

struct ServedClient; // the connection that brought the job (host_internal.h)

struct Job {
    JobState state;
    ServedClient *client; // NULL: a job of an earlier run, or a handle that began none
    unsigned long serial; // the connection the record held when the job began
};

// The job's copy on disk as the seal finds it: its open file, the name it was written under and
// the name that makes it whole (the same name when it has it already).
struct JobCopy {
    int fd;
    const char *written;
    const char *whole;
};

// Begins a job, bound to the connection being served now (none for a job of an earlier run).
void JobBegin(Job *job, bool boundToClient);

// Seals the job and tells its client done: syncs the copy's bytes, gives it its whole name and
// syncs its folder, each checked. copy NULL: the job needs no copy on disk (the scheduler has it,
// or the client sent nothing). False (errno kept) when a step failed: the client is not told.
bool JobSeal(Job *job, const JobCopy *copy);

// True when the job's connection broke off (a reset or a receive error): on Linux that is no job,
// and nothing of it prints.
bool JobBrokeOff(const Job *job);

// Tells the job's client that its job failed: it hears a reset when its connection closes, never
// done.
void JobFail(Job *job);

// Marks the job taken in its own copy (size bytes of mark at offset, through its descriptor,
// synced), so that no later start sends it again even when its name cannot be deleted.
bool JobMarkTaken(Job *job, int fd, const void *mark, size_t size, off_t offset);

// Deletes the job's copy (a copy already gone counts as deleted); false (errno kept) when it is
// still there.
bool JobDelete(Job *job, const char *path);

// Writes size bytes at offset through the job's file calls; false (errno kept, ENOSPC for a disk
// that takes no more) when not all reached the file.
bool JobWrite(int fd, const void *data, size_t size, off_t offset);

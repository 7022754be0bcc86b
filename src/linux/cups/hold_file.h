// The hold file: the copy on disk of a job on its way to the scheduler, kept from its first byte
// until the scheduler has taken the job. Each instance (listening port) has a folder of its own
// under the layer's root; the file names sort by the time the job began.
#pragma once

#include "linux/job/job.h"

#include <stddef.h>
#include <stdint.h>

enum {
    HOLD_QUEUE_SIZE = 256,
    HOLD_TITLE_SIZE = 256,
    HOLD_HOST_SIZE = 16,
    HOLD_TAG_SIZE = 48,
    HOLD_ADDRESS_SIZE = 64,
    HOLD_VERSION = 2,
};

// What the job goes out with, stored at the start of the file. The fields up to tag are those of
// version 1 (Ferrolink 1.2), which wrote zeros after them and reads nothing there; a later
// version only adds fields at the end, and readers of version 1 keep working.
struct HoldHeader {
    char magic[16]; // "FERROLINK-HOLD1" while held; "FERROLINK-TAKEN" once the scheduler took it
    char queue[HOLD_QUEUE_SIZE]; // the destination as the relay named it
    char title[HOLD_TITLE_SIZE];
    char host[HOLD_HOST_SIZE]; // the client's IPv4 address, dotted, or "" (an IPv6 client)
    char tag[HOLD_TAG_SIZE];   // a UUID of the job's own, which the scheduler keeps as job-uuid
    // Version 2 on:
    uint32_t version;                // HOLD_VERSION; 0 in a file of version 1
    uint32_t reserved;               // 0
    uint64_t length;                 // the job's bytes, recorded as it is sealed
    char address[HOLD_ADDRESS_SIZE]; // the client's address, IPv4 or IPv6, or ""
};

struct HoldFile {
    int fd;                  // -1 when no file is open
    unsigned long long size; // bytes of the job in the file
    char path[1040];         // the file's name now
    char stem[1024];         // its name without the suffix that tells whether it is whole
    HoldHeader header;
    Job job; // the job's state and its client; HoldReset leaves it
};

// Marks a hold as closed.
void HoldReset(HoldFile *hold);

// Creates the hold file of a job that is arriving; false (errno kept) when it cannot be made.
bool HoldCreate(HoldFile *hold, const char *queue, const char *title, const char *host);

// Adds bytes at the end of the job; false (errno kept) when the disk does not take them all.
bool HoldAppend(HoldFile *hold, const void *data, size_t size);

// Seals the job as received whole (its length recorded, its bytes, name and folder synced) and
// tells its client done; only such a job is sent again after a restart. False (errno kept) when
// it could not be sealed: its client is not told.
bool HoldSeal(HoldFile *hold);

// Reads the job's bytes from offset; the count read, 0 at the end, -1 on failure.
long HoldRead(HoldFile *hold, unsigned long long offset, void *buffer, size_t size);

// Marks the job taken by the scheduler in its own file, through its descriptor, synced: no later
// start sends it again, even when the file cannot be deleted. False (errno kept) when it cannot.
bool HoldMarkTaken(HoldFile *hold);

// Deletes the file (the scheduler took the job, or refused it for good) and closes it; false
// (errno kept) when the file is still there.
bool HoldRemove(HoldFile *hold);

// Tells whether the file the hold reads is still the one at its path: false once the file or
// its folder was deleted, renamed or replaced.
bool HoldOnDisk(const HoldFile *hold);

// Writes the job again from the open file into its folder (made anew if need be), under its own
// name, and reads on from there; the copy is then sealed like the first. False (errno kept) when
// it cannot. buffer (of capacity bytes) carries the bytes.
bool HoldWriteAgain(HoldFile *hold, char *buffer, size_t capacity);

// Closes the file and leaves it on disk, to be sent at the next start.
void HoldClose(HoldFile *hold);

// Opens the oldest job of this instance held whole by an earlier run that this scan has not
// yet opened; false when none is left (the next call then scans afresh). The folder is read once
// for up to HOLD_SCAN_BATCH jobs at a time. Files of jobs whose receipt never ended (the relay
// was killed meanwhile), of jobs marked taken, of jobs that do not hold the length their header
// records, of empty jobs and damaged files are deleted; entries that are not files, or that
// cannot be deleted, are left and passed over, each said on standard error.
enum { HOLD_SCAN_BATCH = 256 };
bool HoldOpenOldest(HoldFile *hold);

// Fills buffer with the instance's hold folder, for messages.
void HoldFolder(char *buffer, size_t capacity);

// The hold file's layout, for its two halves (hold_file.cpp, hold_scan.cpp).
enum { HOLD_HEADER_SPACE = 1024 }; // the job's bytes start here
extern const char HoldMagic[16];
extern const char HoldTakenMagic[16];

// Host layer: the hold file, the copy on disk of a job on its way to the scheduler, kept from
// its first byte until the scheduler has taken the job. Each instance (listening port) has a
// folder of its own under the layer's root; the file names sort by the time the job began.
#pragma once

#include <stddef.h>

enum { HOLD_QUEUE_SIZE = 256, HOLD_TITLE_SIZE = 256, HOLD_HOST_SIZE = 16, HOLD_TAG_SIZE = 48 };

// What the job goes out with, stored at the start of the file.
struct HoldHeader {
    char magic[16];
    char queue[HOLD_QUEUE_SIZE]; // the destination as the relay named it
    char title[HOLD_TITLE_SIZE];
    char host[HOLD_HOST_SIZE]; // the client's address, dotted, or ""
    char tag[HOLD_TAG_SIZE];   // a UUID of the job's own, which the scheduler keeps as job-uuid
};

struct HoldFile {
    int fd;                  // -1 when no file is open
    unsigned long long size; // bytes of the job in the file
    char path[1024];
    HoldHeader header;
};

// Marks a hold as closed.
void HoldReset(HoldFile *hold);

// Creates the hold file of a job that is arriving; false (errno kept) when it cannot be made.
bool HoldCreate(HoldFile *hold, const char *queue, const char *title, const char *host);

// Adds bytes at the end of the job; false (errno kept) when the disk does not take them all.
bool HoldAppend(HoldFile *hold, const void *data, size_t size);

// Marks the job as received whole: only such a job is sent again after a restart.
bool HoldComplete(HoldFile *hold);

// Reads the job's bytes from offset; the count read, 0 at the end, -1 on failure.
long HoldRead(HoldFile *hold, unsigned long long offset, void *buffer, size_t size);

// Deletes the file (the scheduler took the job, or refused it for good) and closes it; false
// when the file could not be deleted.
bool HoldRemove(HoldFile *hold);

// Closes the file and leaves it on disk, to be sent at the next start.
void HoldRelease(HoldFile *hold);

// Opens the oldest job of this instance held whole by an earlier run; false when none is left.
// Files of jobs whose receipt never ended (the relay was killed meanwhile) are deleted.
bool HoldOpenOldest(HoldFile *hold);

// Fills buffer with the instance's hold folder, for messages.
void HoldFolder(char *buffer, size_t capacity);

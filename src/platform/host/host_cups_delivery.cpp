// Host layer: delivery of held jobs. Each attempt sends the whole job again on a fresh connection.
// When an earlier attempt may have reached the scheduler (the request went out whole but its
// answer was lost, or an earlier run held the job), the queue's jobs are first searched for the
// job's UUID, so that a job the scheduler already has is not printed twice. What remains: a
// scheduler that keeps no job history (PreserveJobHistory No, or old jobs purged to stay under
// MaxJobs) may have printed and forgotten the job before the search, which then sends it again.
//
// Standard error tells the admin: one line when a wait begins, with the scheduler's reason; at
// most one a minute while it lasts; one when the job is taken; one for a refusal for good.

#include "cups_delivery.h"

#include "cups_ipp.h"

#include "host_internal.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

enum {
    FIRST_PAUSE_SECONDS = 1,
    LAST_PAUSE_SECONDS = 30,
    NOTE_EVERY_SECONDS = 60,
    PAUSE_STEP_MS = 100,
    RESEND_BUFFER_SIZE = 64 * 1024,
};

// Writes a line to standard error, whole; queue names and the scheduler's reasons in it are data
// from outside, so nothing in them may start a journal line of its own.
void Journal(const char *format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    MakeLineSafe(line);
    fprintf(stderr, "%s\n", line);
}

// Sleeps in small steps; false as soon as the process is asked to stop.
static bool Pause(int seconds) {
    struct timespec step = {0, PAUSE_STEP_MS * 1000000L};
    for (int i = 0; i < seconds * 1000 / PAUSE_STEP_MS; i++) {
        if (HostStopRequested())
            return false;
        nanosleep(&step, NULL);
    }
    return !HostStopRequested();
}

// Sends the held bytes through an open Print-Job request and reads the answer.
static void SendBytes(http_t *connection, HoldFile *hold, CupsAnswer *answer, char *buffer,
                      size_t capacity) {
    unsigned long long offset = 0;
    while (offset < hold->size) {
        long got = HoldRead(hold, offset, buffer, capacity);
        if (got <= 0) {
            answer->verdict = CUPS_PERMANENT;
            snprintf(answer->reason, sizeof answer->reason, "its held copy cannot be read (%s)",
                     strerror(errno));
            return;
        }
        if (!CupsSendChunk(connection, buffer, (size_t)got, answer))
            return;
        offset += (unsigned long long)got;
    }
    CupsEndJob(connection, answer);
}

// One attempt: looks for the job first when it may be there already, else sends it whole.
static void SendOnce(HoldFile *hold, bool *maybeTaken, CupsAnswer *answer, char *buffer,
                     size_t capacity) {
    const HoldHeader *job = &hold->header;
    http_t *connection = CupsConnect(answer);
    if (connection == NULL)
        return;
    if (*maybeTaken) {
        CupsVerdict found = CupsFindJob(connection, job->queue, job->tag, answer);
        if (found != CUPS_PERMANENT) { // taken already, or the scheduler cannot tell yet
            httpClose(connection);
            return;
        }
        *maybeTaken = false;
    }
    if (CupsBeginJob(connection, job->queue, job->title, job->host, job->tag, answer))
        SendBytes(connection, hold, answer, buffer, capacity);
    if (answer->verdict != CUPS_TAKEN && answer->maybeTaken)
        *maybeTaken = true;
    httpClose(connection);
}

// Tells the admin about a wait: when it begins and then once a minute.
static void NoteWait(const HoldFile *hold, const CupsAnswer *answer, time_t began, time_t *noted) {
    time_t now = HostSeconds();
    if (*noted == 0)
        Journal("CUPS cannot take the job for %s now: %s. The relay holds it in %s and tries "
                "again; the next clients wait.",
                hold->header.queue, answer->reason, hold->path);
    else if (now - *noted >= NOTE_EVERY_SECONDS)
        Journal("Still waiting for CUPS to take the job for %s (%lld s): %s.", hold->header.queue,
                (long long)(now - began), answer->reason);
    else
        return;
    *noted = now;
}

// Sends until taken, refused or stopped.
DeliveryOutcome DeliverHeld(HoldFile *hold, const CupsAnswer *first, char *buffer,
                            size_t capacity) {
    CupsAnswer answer = {CUPS_TEMPORARY, 0, true, ""};
    if (first != NULL)
        answer = *first;
    bool maybeTaken = answer.maybeTaken, tried = first != NULL;
    time_t began = HostSeconds(), noted = 0;
    int pause = FIRST_PAUSE_SECONDS;
    for (;;) {
        if (tried && answer.verdict != CUPS_TEMPORARY)
            break;
        if (tried) {
            NoteWait(hold, &answer, began, &noted);
            if (!Pause(pause)) {
                Journal("Stopping: the job for %s stays held in %s and goes to CUPS first at "
                        "the next start.",
                        hold->header.queue, hold->path);
                return DELIVERY_STOPPED;
            }
            pause = pause * 2 < LAST_PAUSE_SECONDS ? pause * 2 : LAST_PAUSE_SECONDS;
        }
        SendOnce(hold, &maybeTaken, &answer, buffer, capacity);
        tried = true;
    }
    if (answer.verdict == CUPS_PERMANENT) {
        Journal("CUPS refused the job for %s: %s. The job is dropped.", hold->header.queue,
                answer.reason);
        return DELIVERY_REFUSED;
    }
    if (noted != 0 || first == NULL)
        Journal("CUPS took the job for %s as job %d after %lld s.", hold->header.queue,
                answer.jobId, (long long)(HostSeconds() - began));
    return DELIVERY_TAKEN;
}

// Sends each job left whole by an earlier run; stops at the first that cannot be deleted.
void DeliverEarlierHeldJobs(void) {
    static char buffer[RESEND_BUFFER_SIZE];
    HoldFile hold;
    while (HoldOpenOldest(&hold)) {
        Journal("Sending the job for %s held by an earlier run (%llu bytes, %s).",
                hold.header.queue, hold.size, hold.path);
        if (DeliverHeld(&hold, NULL, buffer, sizeof buffer) == DELIVERY_STOPPED) {
            HoldRelease(&hold);
            return;
        }
        char path[sizeof hold.path];
        snprintf(path, sizeof path, "%s", hold.path);
        if (!HoldRemove(&hold)) {
            Journal("Cannot delete the held job %s: the relay sends no more held jobs.", path);
            return;
        }
    }
}

// Delivery of held jobs. Each attempt sends the whole job again on a fresh connection.
// When an earlier attempt may have reached the scheduler (the request went out whole but its
// answer was lost, or an earlier run held the job), the queue's jobs are first searched for the
// job's UUID, so that a job the scheduler already has is not printed twice. What remains: a
// scheduler that keeps no job history (PreserveJobHistory No, or old jobs purged to stay under
// MaxJobs) may have printed and forgotten the job before the search, which then sends it again.
// A search the scheduler does not answer with a list of the queue's jobs (a policy that asks for
// a password on Get-Jobs, an outage) is waited out: the job is never sent on a guess.
//
// Standard error tells the admin: one line when a wait begins, with the scheduler's reason; at
// most one a minute while it lasts, counted from when the job began to wait; one when the job is
// taken; one for a refusal for good. The unit's status shows the wait while it lasts.
//
// The hold folder is kept true: a copy deleted under a waiting job (the folder removed, say) is
// written again from the file the relay still has open, and a taken job whose copy cannot be
// deleted, or a job that a stop cannot leave held, ends the relay with HOST_EXIT_HOLD_UNTRUE.

#include "cups_delivery.h"

#include "cups_ipp.h"

#include "linux/systemd/systemd_runner.h"
#include "platform/host/host_internal.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum {
    FIRST_PAUSE_SECONDS = 1,
    LAST_PAUSE_SECONDS = 30,
    NOTE_EVERY_SECONDS = 60,
    PAUSE_STEP_MS = 100,
    RESEND_BUFFER_SIZE = 64 * 1024,
};

// Writes a line, made safe, to the relay's log file (Ferrolink.log), through the system's writer.
static void LogFileLine(const char *format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    FormatSafeLine(line, sizeof line, format, arguments);
    va_end(arguments);
    WriteRelayLog(line);
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
                     got == 0 ? "it was cut short under the relay" : strerror(errno));
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
        if (CupsFindJob(connection, job->queue, job->tag, answer) != CUPS_JOB_ABSENT) {
            // taken already (the answer says so), or the scheduler cannot tell yet
            httpClose(connection);
            return;
        }
        *maybeTaken = false;
    }
    // A file of version 1 names an IPv4 client only, in its own field.
    const char *host = job->version >= 2 ? job->address : job->host;
    if (CupsBeginJob(connection, job->queue, job->title, host, job->tag, answer))
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
    char status[400];
    snprintf(status, sizeof status, "Waiting for CUPS: %s; the next clients wait", answer->reason);
    NotifyHostStatus(status);
    *noted = now;
}

// Tells the wait at once, for a job still arriving that the scheduler cannot take now.
void NoteWaitBegins(const HoldFile *hold, CupsAnswer *answer) {
    time_t noted = 0;
    NoteWait(hold, answer, HostSeconds(), &noted);
    answer->noted = (long)noted;
}

// Keeps the waiting job's copy on disk as a whole job, writing it again from the open file when
// the folder lost it (or it was never sealed); the copy written again is sealed, which tells a
// client still waiting done. False when it cannot, said once (lostNoted).
static bool KeepCopyWhole(HoldFile *hold, char *buffer, size_t capacity, bool *lostNoted) {
    if (hold->job.state >= JOB_WHOLE && HoldOnDisk(hold))
        return true;
    char lost[sizeof hold->path];
    memcpy(lost, hold->path, sizeof lost);
    if (HoldWriteAgain(hold, buffer, capacity)) {
        Journal("The held copy of the job for %s was gone from %s; the relay wrote it again, in "
                "%s.",
                hold->header.queue, lost[0] != '\0' ? lost : "the hold folder", hold->path);
        *lostNoted = false;
        return true;
    }
    if (!*lostNoted)
        Journal("The held copy of the job for %s is gone from %s and cannot be written again "
                "(%s): the relay still sends it, but a stop now would lose it.",
                hold->header.queue, lost[0] != '\0' ? lost : "the hold folder", strerror(errno));
    *lostNoted = true;
    return false;
}

// Ends the relay at a stop during a wait: the job stays held, or, when its copy is lost for
// good, the relay says so and ends failed.
static void StopWaiting(HoldFile *hold, char *buffer, size_t capacity, bool *lostNoted) {
    if (KeepCopyWhole(hold, buffer, capacity, lostNoted)) {
        Journal("Stopping: the job for %s stays held in %s and goes to CUPS first at the next "
                "start.",
                hold->header.queue, hold->path);
        return;
    }
    Journal("Stopping: the job for %s is lost, as its held copy is gone and cannot be written "
            "again.",
            hold->header.queue);
    EndHostForHoldFailure("a job was lost with its held copy");
}

// Says how a delivery ended (a taken job only when it waited or came from an earlier run) and
// shows the relay serving again after a wait.
static DeliveryOutcome Concluded(const HoldFile *hold, const CupsAnswer *answer, bool sayTaken,
                                 time_t began, bool waited) {
    if (waited)
        NotifyHostRelaying();
    if (answer->verdict == CUPS_PERMANENT) {
        Journal("CUPS refused the job for %s: %s. The job is dropped.", hold->header.queue,
                answer->reason);
        return DELIVERY_REFUSED;
    }
    if (sayTaken)
        Journal("CUPS took the job for %s as job %d after %lld s.", hold->header.queue,
                answer->jobId, (long long)(HostSeconds() - began));
    return DELIVERY_TAKEN;
}

// Sends until taken, refused or stopped; last gets the final answer.
static DeliveryOutcome Deliver(HoldFile *hold, const CupsAnswer *first, char *buffer,
                               size_t capacity, CupsAnswer *last) {
    CupsAnswer &answer = *last;
    answer = {CUPS_TEMPORARY, 0, true, 0, "", 0};
    if (first != NULL)
        answer = *first;
    if (hold->fd < 0) { // nothing left to send: never an empty job
        snprintf(answer.reason, sizeof answer.reason, "its held copy is lost");
        Journal("The job for %s cannot be sent: its held copy is lost. The job is dropped.",
                hold->header.queue);
        return DELIVERY_REFUSED;
    }
    bool maybeTaken = answer.maybeTaken, tried = first != NULL, lostNoted = false;
    // The wait began with the exchange that gave the first answer (a hung scheduler's 60 s),
    // which may have been told already, while the job arrived.
    time_t noted = first != NULL ? (time_t)first->noted : 0;
    time_t began = (noted != 0 ? noted : HostSeconds()) - (first != NULL ? first->waited : 0);
    int pause = FIRST_PAUSE_SECONDS;
    for (;;) {
        if (tried && answer.verdict != CUPS_TEMPORARY)
            break;
        if (tried) {
            if (!lostNoted) // once it failed, tried again at the stop only: a copy costs
                KeepCopyWhole(hold, buffer, capacity, &lostNoted);
            NoteWait(hold, &answer, began, &noted);
            if (!Pause(pause)) {
                StopWaiting(hold, buffer, capacity, &lostNoted);
                return DELIVERY_STOPPED;
            }
            pause = pause * 2 < LAST_PAUSE_SECONDS ? pause * 2 : LAST_PAUSE_SECONDS;
        }
        SendOnce(hold, &maybeTaken, &answer, buffer, capacity);
        tried = true;
    }
    return Concluded(hold, &answer, noted != 0 || first == NULL, began, noted != 0);
}

// Sends until taken, refused or stopped.
DeliveryOutcome DeliverHeld(HoldFile *hold, const CupsAnswer *first, char *buffer,
                            size_t capacity) {
    CupsAnswer last;
    return Deliver(hold, first, buffer, capacity, &last);
}

// Marks the taken job's copy taken, then deletes it; a copy left behind unmarked could print again
// after a restart.
void RemoveTakenJob(HoldFile *hold) {
    char path[sizeof hold->path];
    memcpy(path, hold->path, sizeof path);
    bool whole = hold->job.state >= JOB_WHOLE;
    bool marked = hold->fd >= 0 && HoldMarkTaken(hold);
    if (HoldRemove(hold))
        return;
    if (!whole && marked) { // never sent again, and the next start deletes it
        Journal("Cannot delete %s, the copy of a job CUPS took (%s); the next start deletes it.",
                path, strerror(errno));
        return;
    }
    if (marked)
        Journal("Cannot delete %s, the copy of a job CUPS took (%s); it is marked taken, so no "
                "start sends it again. The relay ends; make the hold folder writable (the next "
                "start deletes the copy).",
                path, strerror(errno));
    else
        Journal("Cannot delete %s, the copy of a job CUPS took (%s): it would print again after "
                "a restart. The relay ends; make the hold folder writable and delete the file, or "
                "leave it if CUPS keeps its job history (a restart then finds the job and deletes "
                "the copy).",
                path, strerror(errno));
    EndHostForHoldFailure("the copy of a job CUPS took cannot be deleted");
}

// Sends each job left whole by an earlier run, to the queue it was received for; a stop is
// honoured between any two of them, and the rest go first at the next start.
void DeliverEarlierHeldJobs(void) {
    static char buffer[RESEND_BUFFER_SIZE];
    HoldFile hold;
    while (!HostStopRequested() && HoldOpenOldest(&hold)) {
        Journal("Sending the job for %s held by an earlier run (%llu bytes, %s).",
                hold.header.queue, hold.size, hold.path);
        CupsAnswer last;
        switch (Deliver(&hold, NULL, buffer, sizeof buffer, &last)) {
        case DELIVERY_STOPPED:
            HoldClose(&hold);
            return;
        case DELIVERY_TAKEN:
            RemoveTakenJob(&hold);
            break;
        case DELIVERY_REFUSED: {
            LogFileLine("CUPS refused the job for %s held by an earlier run: %s. The job is "
                        "dropped.",
                        hold.header.queue, last.reason);
            char path[sizeof hold.path];
            memcpy(path, hold.path, sizeof path);
            if (!HoldRemove(&hold))
                Journal("Cannot delete %s, a job CUPS refused (%s); the next start tries it again.",
                        path, strerror(errno));
            break;
        }
        }
    }
}

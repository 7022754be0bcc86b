// The CUPS spooler's job on its way (see cups_spooler.cpp for the whole story): the fast path's
// stream while the job arrives, the hold file beside it, and the end of the job, which seals the
// copy (telling the client done) before any further exchange with the scheduler and then waits
// until the scheduler takes it or refuses it for good.

#include "cups_client.h"
#include "cups_delivery.h"
#include "linux/systemd/systemd_runner.h"
#include "cups_printer.h"
#include "linux/systemd/systemd_runner.h"
#include "platform/host/host_internal.h"

#include <errno.h>
#include <string.h>

enum {
    ERROR_WRITE_FAULT = 29,
    ERROR_OPERATION_ABORTED = 995,
    RPC_S_SERVER_UNAVAILABLE = 1722,
    FLUSH_AFTER_SECONDS = 2,
};

// The error number of a failed answer.
static unsigned int AnswerError(const CupsAnswer *answer) {
    return answer->verdict == CUPS_TEMPORARY ? (unsigned int)RPC_S_SERVER_UNAVAILABLE
                                             : (unsigned int)ERROR_WRITE_FAULT;
}

// Drops the printer's connection, which ends an open request that the scheduler then discards.
void CupsJobDisconnect(CupsPrinter *printer) {
    if (printer->connection != NULL)
        httpClose(printer->connection);
    printer->connection = NULL;
    printer->streaming = false;
}

// Gives the document up: no copy is kept, its client hears a reset; the error is kept for the
// close.
static void Abandon(CupsPrinter *printer, unsigned int error) {
    printer->failed = true;
    printer->used = printer->held = 0;
    printer->error = error;
    CupsJobDisconnect(printer);
    HoldRemove(&printer->hold);
    JobFail(&printer->hold.job);
    if (printer->answer.noted != 0) // its wait was told: it is over
        NotifyHostRelaying();
}

// Gives the document up after the scheduler refused it for good, saying why.
static void Refused(CupsPrinter *printer, const CupsAnswer *answer) {
    Journal("CUPS refused the job for %s: %s. The job is dropped.", printer->name, answer->reason);
    Abandon(printer, ERROR_WRITE_FAULT);
}

// Goes on without a copy on disk after the hold file failed, saying so.
void CupsJobLoseHold(CupsPrinter *printer) {
    Journal("Cannot hold the job for %s on disk (%s: %s); it goes to CUPS without a copy.",
            printer->name, printer->hold.path[0] != '\0' ? printer->hold.path : "held folder",
            strerror(errno));
    HoldRemove(&printer->hold);
}

// Tells whether the job has a copy on disk.
static bool Holding(const CupsPrinter *printer) {
    return printer->hold.fd >= 0;
}

// Lets the hold file alone carry the job after the scheduler failed it as it began.
void CupsJobWithoutScheduler(CupsPrinter *printer) {
    if (Holding(printer))
        printer->streamGivenUp = true;
    else
        printer->answer.verdict = CUPS_TAKEN; // no copy: the stream tries again
}

// Tells the wait once, as the bytes of a job the scheduler cannot take now arrive.
static void TellWaitOnce(CupsPrinter *printer) {
    if (printer->streamGivenUp && Holding(printer) && printer->answer.noted == 0)
        NoteWaitBegins(&printer->hold, &printer->answer);
}

// Makes sure the printer's connection is open, replacing one that the scheduler closed.
static bool ReconnectIfClosed(CupsPrinter *printer, CupsAnswer *answer) {
    if (printer->connection != NULL && !CupsPeerClosed(printer->connection))
        return true;
    CupsJobDisconnect(printer);
    printer->connection = CupsConnect(answer);
    return printer->connection != NULL;
}

// Sends the gathered bytes on the fast path, opening the request first; false when the stream
// failed (answer in the printer).
static bool Stream(CupsPrinter *printer) {
    CupsAnswer *answer = &printer->answer;
    if (!printer->streaming) {
        if (!ReconnectIfClosed(printer, answer) ||
            !CupsBeginJob(printer->connection, printer->name, printer->title, printer->originHost,
                          printer->hold.header.tag, answer))
            return false;
        printer->streaming = true;
    }
    return CupsSendChunk(printer->connection, printer->buffer, printer->used, answer);
}

// Appends the gathered bytes that the hold file has not yet, in one write; a hold that fails is
// given up, and the stream carries the job alone.
static void HoldGathered(CupsPrinter *printer) {
    if (Holding(printer) && printer->used > printer->held &&
        !HoldAppend(&printer->hold, printer->buffer + printer->held, printer->used - printer->held))
        CupsJobLoseHold(printer);
    printer->held = printer->used;
}

// Holds the gathered bytes, then sends them on the stream; false when the job is lost.
static bool Flush(CupsPrinter *printer) {
    HoldGathered(printer);
    if (!printer->streamGivenUp && !Stream(printer)) {
        CupsJobDisconnect(printer);
        printer->streamGivenUp = true;
        if (printer->answer.verdict == CUPS_PERMANENT) {
            Refused(printer, &printer->answer);
            return false;
        }
    }
    if (printer->streamGivenUp && !Holding(printer)) {
        Abandon(printer, AnswerError(&printer->answer));
        return false;
    }
    printer->used = printer->held = 0;
    printer->lastSent = HostSeconds();
    return true;
}

// Tells whether gathered bytes of a started request have waited long enough to go out now.
static bool DueForSending(const CupsPrinter *printer) {
    return printer->streaming && printer->used > 0 &&
           HostSeconds() - printer->lastSent >= FLUSH_AFTER_SECONDS;
}

// Ends the fast path's request; the answer is in the printer. False when the job is lost.
static bool FinishStream(CupsPrinter *printer) {
    if (printer->streamGivenUp)
        return true;
    CupsEndJob(printer->connection, &printer->answer);
    CupsJobDisconnect(printer);
    if (printer->answer.verdict == CUPS_PERMANENT) {
        Refused(printer, &printer->answer);
        return false;
    }
    if (printer->answer.verdict == CUPS_TEMPORARY && !Holding(printer)) {
        Abandon(printer, AnswerError(&printer->answer));
        return false;
    }
    return true;
}

// Waits until the scheduler takes the held job; false when it refuses it for good. A stop leaves
// the job held whole for the next start, or ends the relay when its copy cannot be kept.
static bool WaitForScheduler(CupsPrinter *printer) {
    if (!Holding(printer) || printer->hold.size == 0) { // never an empty job in place of one
        Abandon(printer, ERROR_WRITE_FAULT);
        return false;
    }
    switch (DeliverHeld(&printer->hold, &printer->answer, printer->buffer, CUPS_BUFFER_SIZE)) {
    case DELIVERY_TAKEN:
        RemoveTakenJob(&printer->hold); // or the relay ends, saying why
        return true;
    case DELIVERY_STOPPED:
        HoldClose(&printer->hold); // safe on disk, sent first at the next start
        return true;
    default:
        Abandon(printer, ERROR_WRITE_FAULT);
        return false;
    }
}

// Seals the held job, which tells its client done; a copy that cannot be sealed is said on
// standard error, and still carries the job from its open descriptor.
static void SealHeld(CupsPrinter *printer) {
    if (Holding(printer) && !HoldSeal(&printer->hold))
        Journal("Cannot mark the held job %s as received whole (%s): the job goes to CUPS from "
                "the open copy; its client is told once CUPS has it, or once the copy is written "
                "again whole.",
                printer->hold.path, strerror(errno));
}

// Ends the slot's document: taken by the scheduler, or held for the next start, or given up;
// false when it was given up.
bool CupsJobEnd(CupsPrinter *printer, unsigned int *error) {
    bool empty = !printer->streaming && !printer->streamGivenUp && printer->used == 0 &&
                 printer->hold.size == 0;
    // Nothing to print (a port check, a scanner, a client that gave up): no job is made.
    if (!printer->failed && (!printer->started || empty)) {
        HoldRemove(&printer->hold);
        return true;
    }
    // A connection that broke off is no job: nothing prints, and nothing failed to print.
    if (!printer->failed && JobBrokeOff(&printer->hold.job)) {
        Abandon(printer, ERROR_OPERATION_ABORTED);
        return true;
    }
    if (!printer->failed) {
        HoldGathered(printer);
        SealHeld(printer);
    }
    CupsClientSending(false); // told, or waiting for the scheduler to take it: full bounds now
    bool taken = !printer->failed && Flush(printer) && FinishStream(printer);
    if (taken && (printer->streamGivenUp || printer->answer.verdict != CUPS_TAKEN))
        taken = WaitForScheduler(printer);
    else if (taken)
        RemoveTakenJob(&printer->hold);
    if (!taken)
        *error = printer->error;
    return taken;
}

// Gathers bytes for the hold file and the stream, moving each full buffer on; on a failure the
// document is given up and nothing of this call counts as taken.
bool CupsJobWrite(CupsPrinter *printer, const void *data, unsigned int count, unsigned int *error) {
    const char *bytes = (const char *)data;
    while (count > 0) {
        unsigned int room = CUPS_BUFFER_SIZE - printer->used;
        unsigned int take = count < room ? count : room;
        memcpy(printer->buffer + printer->used, bytes, take);
        printer->used += take;
        bytes += take;
        count -= take;
        bool full = printer->used == CUPS_BUFFER_SIZE;
        if ((full || DueForSending(printer)) && !Flush(printer)) {
            *error = printer->error;
            return false;
        }
    }
    TellWaitOnce(printer);
    return true;
}

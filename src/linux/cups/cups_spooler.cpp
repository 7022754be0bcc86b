// Host layer: the CUPS spooler. A printer is a CUPS destination; a document is one CUPS job in
// raw format, handed to the scheduler by one Print-Job request that carries the job's
// description and all its bytes. The scheduler makes the job only once that request has arrived
// whole, so an attempt either hands the job over whole or leaves nothing there.
//
// Every job is held on disk (see hold_file.h) until the scheduler has answered that it took it:
// - WritePrinter appends each call's bytes to the hold file at once, so that what the client
//   sent is on disk as it arrives. It also gathers them in the handle's fixed 64 KiB buffer
//   (memory stays flat whatever the job's size); each full buffer goes, as the fast path, as one
//   HTTP chunk of a Print-Job request streamed while the job arrives. Bytes that have waited for
//   FLUSH_AFTER_SECONDS go out with the next write, so that a client that trickles its job keeps
//   the request busy enough for cupsd's Timeout.
// - When the stream fails for a reason that waiting may cure (the scheduler stopped, restarted
//   or cut the request off), the job goes on arriving into the hold file only; the scheduler
//   discards the broken request whole.
// - ClosePrinter, once the client ended its stream in order, first marks the hold file as
//   received whole and ends the client's connection in order (HostReleaseClient): the job is
//   safe before any further exchange with the scheduler, so nothing the scheduler does (a hang,
//   an outage, a slow connect) keeps it unfinished, and the client does not wait for CUPS. Then
//   it ends the request and reads the answer. A temporary refusal (too many active jobs, an
//   outage...) makes it wait and send the held job again until the scheduler takes it
//   (cups_delivery.h): the relay serves no one meanwhile and its next clients wait in the listen
//   queue, as for a busy printer. A refusal for good (no such queue, a queue that rejects jobs,
//   a job too large, no authorisation) drops the job and fails the call that learnt of it.
// - A connection that broke off (a reset or a receive error) is no job on Linux: its hold file
//   is deleted and its request abandoned, so the scheduler discards it; the close succeeds, as
//   for a connection that brought nothing.
// - The scheduler out of reach when a job begins is no refusal: the job is received and held.
// - A stop of the process during a wait leaves the job held for the next start, and the close
//   succeeds: the job is safe on disk.
// - Without a hold file (the disk full, the folder not writable), which standard error reports,
//   a job goes to the scheduler as it arrives and any failure fails the job, as a failure shows;
//   its client hears that it was delivered only once the scheduler took it. A hold file that
//   cannot be marked whole (its folder deleted or made read-only meanwhile) still carries the
//   job from its open descriptor, but a restart would not send it: its client, too, hears only
//   once the scheduler took it.
// - A connection that wrote nothing has nothing to print: no request is made.
// - The job's name is the document's name, its requesting user the relay's own user, and its
//   job-originating-host-name the IPv4 address of the client being served, as the layer's accept
//   recorded it (the relay serves one connection at a time); cupsd keeps that attribute from
//   local clients only, as for its own LPD front end.

#include "cups_client.h"
#include "cups_delivery.h"
#include "cups_ipp.h"
#include "platform/host/host_internal.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

enum {
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_WRITE_FAULT = 29,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_OPERATION_ABORTED = 995,
    ERROR_INVALID_PRINTER_NAME = 1801,
    RPC_S_SERVER_UNAVAILABLE = 1722,
    ERROR_SPL_NO_STARTDOC = 3024,
    CUPS_BUFFER_SIZE = 64 * 1024,
    FLUSH_AFTER_SECONDS = 2,
};

struct CupsPrinter {
    bool inUse;
    bool started;        // StartDocPrinterA has begun the document
    bool failed;         // the document was given up
    bool streaming;      // the Print-Job request of the fast path is open
    bool streamGivenUp;  // the fast path failed: the hold file carries the job
    http_t *connection;  // NULL when the scheduler was out of reach, or after the stream
    unsigned int used;   // bytes waiting in buffer
    unsigned int error;  // the failure's error number, kept for the close
    time_t lastSent;     // when bytes last went to the scheduler
    CupsAnswer answer;   // why the fast path failed
    char name[256];      // the destination's name
    char title[256];     // the document's name
    char originHost[16]; // the client's address, dotted
    HoldFile hold;
    char buffer[CUPS_BUFFER_SIZE];
};

static CupsPrinter Printers[CUPS_CLIENT_SLOTS];
static pthread_mutex_t PrintersLock = PTHREAD_MUTEX_INITIALIZER;

// Returns the open printer of a slot, or NULL.
static CupsPrinter *PrinterAt(int slot) {
    if (slot < 0 || slot >= CUPS_CLIENT_SLOTS || !Printers[slot].inUse)
        return NULL;
    return &Printers[slot];
}

// The error number of a failed answer.
static unsigned int AnswerError(const CupsAnswer *answer) {
    return answer->verdict == CUPS_TEMPORARY ? (unsigned int)RPC_S_SERVER_UNAVAILABLE
                                             : (unsigned int)ERROR_WRITE_FAULT;
}

// Drops the printer's connection, which ends an open request that the scheduler then discards.
static void Disconnect(CupsPrinter *printer) {
    if (printer->connection != NULL)
        httpClose(printer->connection);
    printer->connection = NULL;
    printer->streaming = false;
}

// Gives the document up: no copy is kept; the error is kept for the close.
static void Abandon(CupsPrinter *printer, unsigned int error) {
    printer->failed = true;
    printer->used = 0;
    printer->error = error;
    Disconnect(printer);
    HoldRemove(&printer->hold);
}

// Gives the document up after the scheduler refused it for good, saying why.
static void Refused(CupsPrinter *printer, const CupsAnswer *answer) {
    Journal("CUPS refused the job for %s: %s. The job is dropped.", printer->name, answer->reason);
    Abandon(printer, ERROR_WRITE_FAULT);
}

// Goes on without a copy on disk after the hold file failed, saying so.
static void LoseHold(CupsPrinter *printer) {
    Journal("Cannot hold the job for %s on disk (%s: %s); it goes to CUPS without a copy.",
            printer->name, printer->hold.path[0] != '\0' ? printer->hold.path : "held folder",
            strerror(errno));
    HoldRemove(&printer->hold);
}

// Tells whether the job has a copy on disk.
static bool Holding(const CupsPrinter *printer) {
    return printer->hold.fd >= 0;
}

// Makes sure the printer's connection is open, replacing one that the scheduler closed.
static bool Connected(CupsPrinter *printer, CupsAnswer *answer) {
    if (printer->connection != NULL && !CupsPeerClosed(printer->connection))
        return true;
    Disconnect(printer);
    printer->connection = CupsConnect(answer);
    return printer->connection != NULL;
}

// Sends the gathered bytes on the fast path, opening the request first; false when the stream
// failed (answer in the printer).
static bool Stream(CupsPrinter *printer) {
    CupsAnswer *answer = &printer->answer;
    if (!printer->streaming) {
        if (!Connected(printer, answer) ||
            !CupsBeginJob(printer->connection, printer->name, printer->title, printer->originHost,
                          printer->hold.header.tag, answer))
            return false;
        printer->streaming = true;
    }
    return CupsSendChunk(printer->connection, printer->buffer, printer->used, answer);
}

// Sends the gathered bytes on the stream (the hold file has them already); false when the job
// is lost.
static bool Flush(CupsPrinter *printer) {
    if (!printer->streamGivenUp && !Stream(printer)) {
        Disconnect(printer);
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
    printer->used = 0;
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
    Disconnect(printer);
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
        HoldRelease(&printer->hold); // safe on disk, sent first at the next start
        return true;
    default:
        Abandon(printer, ERROR_WRITE_FAULT);
        return false;
    }
}

// Marks the held job as received whole and tells its client so; a file that cannot be marked is
// said on standard error, and still carries the job from its open descriptor.
static void MarkWhole(CupsPrinter *printer) {
    if (!Holding(printer))
        return;
    if (!HoldComplete(&printer->hold)) {
        Journal("Cannot mark the held job %s as received whole (%s): the job goes to CUPS from "
                "the open copy; its client is told once CUPS has it, or once the copy is written "
                "again whole.",
                printer->hold.path, strerror(errno));
        return;
    }
    HostReleaseClient();
}

// Ends the slot's document: taken by the scheduler, or held for the next start, or given up;
// false when it was given up.
static bool EndJob(CupsPrinter *printer, unsigned int *error) {
    bool empty = !printer->streaming && !printer->streamGivenUp && printer->used == 0 &&
                 printer->hold.size == 0;
    // Nothing to print (a port check, a scanner, a client that gave up): no job is made.
    if (!printer->failed && (!printer->started || empty)) {
        HoldRemove(&printer->hold);
        return true;
    }
    // A connection that broke off is no job: nothing prints, and nothing failed to print.
    if (!printer->failed && HostClientBrokeOff()) {
        Abandon(printer, ERROR_OPERATION_ABORTED);
        return true;
    }
    if (!printer->failed)
        MarkWhole(printer);
    bool taken = !printer->failed && Flush(printer) && FinishStream(printer);
    if (taken && (printer->streamGivenUp || printer->answer.verdict != CUPS_TAKEN))
        taken = WaitForScheduler(printer);
    else if (taken)
        RemoveTakenJob(&printer->hold);
    if (!taken)
        *error = printer->error;
    return taken;
}

// Opens a destination by name. A scheduler out of reach is no reason to refuse: the job will
// be held until it answers.
bool CupsClientOpen(const char *printerName, int *slot, unsigned int *error) {
    CupsAnswer answer;
    char name[256];
    snprintf(name, sizeof name, "%s", printerName);
    http_t *connection = CupsConnect(&answer);
    if (connection != NULL &&
        CupsFindQueue(connection, printerName, name, sizeof name, &answer) != CUPS_TAKEN) {
        httpClose(connection);
        connection = NULL;
        if (answer.verdict == CUPS_PERMANENT) {
            Journal("CUPS refused the job for %s: %s.", printerName, answer.reason);
            *error = ERROR_INVALID_PRINTER_NAME;
            return false;
        }
    }
    pthread_mutex_lock(&PrintersLock);
    for (int i = 0; i < CUPS_CLIENT_SLOTS; i++) {
        if (Printers[i].inUse)
            continue;
        CupsPrinter *printer = &Printers[i];
        printer->inUse = true;
        printer->started = printer->failed = printer->streaming = printer->streamGivenUp = false;
        printer->used = 0;
        printer->connection = connection;
        HoldReset(&printer->hold);
        memcpy(printer->name, name, sizeof name);
        pthread_mutex_unlock(&PrintersLock);
        *slot = i;
        return true;
    }
    pthread_mutex_unlock(&PrintersLock);
    if (connection != NULL)
        httpClose(connection);
    *error = ERROR_INVALID_PARAMETER;
    return false;
}

// Describes the slot's destination from the scheduler's view of it.
bool CupsClientDescribe(int slot, char *model, size_t modelSize, char *location,
                        size_t locationSize) {
    char name[256];
    model[0] = location[0] = '\0';
    pthread_mutex_lock(&PrintersLock);
    CupsPrinter *printer = PrinterAt(slot);
    if (printer != NULL)
        memcpy(name, printer->name, sizeof name);
    pthread_mutex_unlock(&PrintersLock);
    if (printer == NULL)
        return false;
    cups_dest_t *destination = cupsGetNamedDest(CUPS_HTTP_DEFAULT, name, NULL);
    if (destination == NULL)
        return true;
    const char *makeAndModel =
        cupsGetOption("printer-make-and-model", destination->num_options, destination->options);
    const char *where =
        cupsGetOption("printer-location", destination->num_options, destination->options);
    if (makeAndModel != NULL && strcmp(makeAndModel, "Local Raw Printer") != 0)
        snprintf(model, modelSize, "%s", makeAndModel);
    if (where != NULL)
        snprintf(location, locationSize, "%s", where);
    cupsFreeDests(1, destination);
    return true;
}

// Begins the document unless the destination rejects jobs; the job's copy on disk begins too.
unsigned int CupsClientStart(int slot, const char *title, const char *originHost,
                             unsigned int *error) {
    static unsigned int Documents;
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL || printer->started) {
        *error = printer == NULL ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
        return 0;
    }
    CupsAnswer answer;
    if (printer->connection != NULL &&
        CupsQueueAccepts(printer->connection, printer->name, &answer) != CUPS_TAKEN) {
        Disconnect(printer);
        if (answer.verdict == CUPS_PERMANENT) {
            Journal("CUPS refused the job for %s: %s.", printer->name, answer.reason);
            *error = ERROR_ACCESS_DENIED;
            return 0;
        }
    }
    snprintf(printer->title, sizeof printer->title, "%s", title);
    snprintf(printer->originHost, sizeof printer->originHost, "%s", originHost);
    if (!HoldCreate(&printer->hold, printer->name, printer->title, printer->originHost))
        LoseHold(printer);
    printer->started = true;
    printer->answer.verdict = CUPS_TAKEN;
    Documents = Documents % 0x7FFFFFFF + 1; // never 0, which tells a failure
    return Documents;
}

// Holds bytes at once and gathers them for the stream, moving each full buffer on; on a failure
// the document is given up and nothing of this call counts as taken.
bool CupsClientWrite(int slot, const void *data, unsigned int count, unsigned int *error) {
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL) {
        *error = ERROR_INVALID_HANDLE;
        return false;
    }
    if (!printer->started || printer->failed) {
        *error = printer->failed ? printer->error : (unsigned int)ERROR_SPL_NO_STARTDOC;
        return false;
    }
    if (Holding(printer) && !HoldAppend(&printer->hold, data, count))
        LoseHold(printer);
    if (printer->streamGivenUp) { // the hold file alone carries the job now
        if (Holding(printer))
            return true;
        Abandon(printer, AnswerError(&printer->answer));
        *error = printer->error;
        return false;
    }
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
    return true;
}

// Ends the job and releases the slot with its connection.
bool CupsClientClose(int slot, unsigned int *error) {
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL) {
        *error = ERROR_INVALID_HANDLE;
        return false;
    }
    bool complete = EndJob(printer, error);
    if (complete)
        HostReleaseClient(); // taken by the scheduler, held whole, or nothing to print
    Disconnect(printer);
    pthread_mutex_lock(&PrintersLock);
    printer->inUse = false;
    pthread_mutex_unlock(&PrintersLock);
    return complete;
}

// Sends the jobs an earlier run held, before the first client is served.
void CupsClientDeliverHeld(void) {
    DeliverEarlierHeldJobs();
}

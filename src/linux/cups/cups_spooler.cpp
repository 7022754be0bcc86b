// The CUPS spooler. A printer is a CUPS destination; a document is one CUPS job in
// raw format, handed to the scheduler by one Print-Job request that carries the job's
// description and all its bytes. The scheduler makes the job only once that request has arrived
// whole, so an attempt either hands the job over whole or leaves nothing there.
//
// Every job is held on disk (see hold_file.h) until the scheduler has answered that it took it:
// - WritePrinter gathers each call's bytes in the handle's fixed 64 KiB buffer (memory stays
//   flat whatever the job's size). Each full buffer is appended to the hold file in one write and
//   goes, as the fast path, as one HTTP chunk of a Print-Job request streamed while the job
//   arrives. Bytes that have waited for FLUSH_AFTER_SECONDS go out with the next write, so that a
//   client that trickles its job keeps the request busy enough for cupsd's Timeout. Bytes still
//   in the buffer belong to a job whose client has been told nothing: the seal appends them first.
// - When the stream fails for a reason that waiting may cure (the scheduler stopped, restarted
//   or cut the request off), the job goes on arriving into the hold file only; the scheduler
//   discards the broken request whole.
// - ClosePrinter, once the client ended its stream in order, first seals the hold file, which
//   tells the client done (linux/job/job.h): the job is safe before any further exchange with
//   the scheduler, so nothing the scheduler does (a hang, an outage, a slow connect) keeps it
//   unfinished, and the client does not wait for CUPS. Then it ends the request and reads the
//   answer. A temporary refusal (too many active jobs, an
//   outage...) makes it wait and send the held job again until the scheduler takes it
//   (cups_delivery.h): the relay serves no one meanwhile and its next clients wait in the listen
//   queue, as for a busy printer. A refusal for good (no such queue, a queue that rejects jobs,
//   a job too large, no authorisation) drops the job and fails the call that learnt of it.
// - A connection that broke off (a reset or a receive error) is no job on Linux: its hold file
//   is deleted and its request abandoned, so the scheduler discards it; the close succeeds, as
//   for a connection that brought nothing.
// - The scheduler silent or out of reach when a job begins is no refusal: the job is received
//   into the hold file alone, and the wait is told at its first bytes.
// - A stop of the process during a wait leaves the job held for the next start, and the close
//   succeeds: the job is safe on disk.
// - Without a hold file (the disk full, the folder not writable), which standard error reports,
//   a job goes to the scheduler as it arrives and any failure fails the job, as a failure shows;
//   its client hears that it was delivered only once the scheduler took it. A hold file that
//   cannot be sealed (its folder deleted or made read-only meanwhile, a sync that fails) still
//   carries the job from its open descriptor, but a restart would not send it: its client, too,
//   hears only once the scheduler took it, or once the copy is written again and sealed.
// - A job the scheduler took is marked taken in its copy, synced, before the copy is deleted.
// - A document that could not begin (the queue rejects jobs) tells its client nothing: it hears
//   a reset.
// - A connection that wrote nothing has nothing to print: no request is made.
// - The job's name is the document's name, its requesting user the relay's own user, and its
//   job-originating-host-name the IPv4 address of the client being served, as the layer's accept
//   recorded it (the relay serves one connection at a time); cupsd keeps that attribute from
//   local clients only, as for its own LPD front end.
//
// This file holds the slots behind the handles; cups_job.cpp a slot's job on its way.

#include "cups_client.h"
#include "cups_delivery.h"
#include "cups_printer.h"
#include "linux/systemd/systemd_runner.h"
#include "platform/host/host_internal.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

enum {
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_INVALID_PRINTER_NAME = 1801,
    ERROR_SPL_NO_STARTDOC = 3024,
};

static CupsPrinter Printers[CUPS_CLIENT_SLOTS];
static pthread_mutex_t PrintersLock = PTHREAD_MUTEX_INITIALIZER;

// Returns the open printer of a slot, or NULL.
static CupsPrinter *PrinterAt(int slot) {
    if (slot < 0 || slot >= CUPS_CLIENT_SLOTS || !Printers[slot].inUse)
        return NULL;
    return &Printers[slot];
}

// Claims a free slot for the destination, with the connection (NULL when the scheduler was
// silent or out of reach, as answer says); false when every slot is in use.
static bool ClaimSlot(http_t *connection, const char *name, const CupsAnswer *answer, int *slot) {
    pthread_mutex_lock(&PrintersLock);
    for (int i = 0; i < CUPS_CLIENT_SLOTS; i++) {
        if (Printers[i].inUse)
            continue;
        CupsPrinter *printer = &Printers[i];
        printer->inUse = true;
        printer->started = printer->failed = printer->streaming = printer->streamGivenUp = false;
        printer->used = printer->held = 0;
        printer->connection = connection;
        printer->answer = *answer;
        HoldReset(&printer->hold);
        printer->hold.job = {JOB_GONE, NULL, 0}; // no job, no client, until a document begins
        snprintf(printer->name, sizeof printer->name, "%s", name);
        pthread_mutex_unlock(&PrintersLock);
        *slot = i;
        return true;
    }
    pthread_mutex_unlock(&PrintersLock);
    return false;
}

// Opens a destination by name. A scheduler silent or out of reach is no reason to refuse: the
// job will be held until it answers, and this look-up has the short bound of a sending client.
bool CupsClientOpen(const char *printerName, int *slot, unsigned int *error) {
    CupsAnswer answer;
    char name[256];
    snprintf(name, sizeof name, "%s", printerName);
    CupsClientSending(true);
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
    if (ClaimSlot(connection, name, &answer, slot))
        return true;
    if (connection != NULL)
        httpClose(connection);
    *error = ERROR_INVALID_PARAMETER;
    return false;
}

// Describes the slot's destination from the scheduler's view of it, as briefly bounded as a
// sending client's look-up: a hung scheduler must not hold the listener before its first client.
bool CupsClientDescribe(int slot, char *model, size_t modelSize, char *location,
                        size_t locationSize) {
    char name[256];
    CupsAnswer answer;
    model[0] = location[0] = '\0';
    pthread_mutex_lock(&PrintersLock);
    CupsPrinter *printer = PrinterAt(slot);
    if (printer != NULL)
        memcpy(name, printer->name, sizeof name);
    pthread_mutex_unlock(&PrintersLock);
    if (printer == NULL)
        return false;
    CupsClientSending(true);
    http_t *connection = CupsConnect(&answer);
    if (connection != NULL) {
        CupsDescribeQueue(connection, name, model, modelSize, location, locationSize);
        httpClose(connection);
    }
    CupsClientSending(false);
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
    CupsAnswer *answer = &printer->answer;
    if (printer->connection != NULL &&
        CupsQueueAccepts(printer->connection, printer->name, answer) != CUPS_TAKEN) {
        CupsJobDisconnect(printer);
        if (answer->verdict == CUPS_PERMANENT) {
            Journal("CUPS refused the job for %s: %s.", printer->name, answer->reason);
            *error = ERROR_ACCESS_DENIED;
            return 0;
        }
    }
    snprintf(printer->title, sizeof printer->title, "%s", title);
    snprintf(printer->originHost, sizeof printer->originHost, "%s", originHost);
    JobBegin(&printer->hold.job, true); // the client being served is this job's
    if (!HoldCreate(&printer->hold, printer->name, printer->title, printer->originHost))
        CupsJobLoseHold(printer);
    printer->started = true;
    if (printer->connection == NULL)
        CupsJobWithoutScheduler(printer);
    else
        printer->answer.verdict = CUPS_TAKEN;
    Documents = Documents % 0x7FFFFFFF + 1; // never 0, which tells a failure
    return Documents;
}

// Hands bytes to the slot's document.
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
    return CupsJobWrite(printer, data, count, error);
}

// Ends the job and releases the slot with its connection.
bool CupsClientClose(int slot, unsigned int *error) {
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL) {
        *error = ERROR_INVALID_HANDLE;
        return false;
    }
    bool complete = CupsJobEnd(printer, error);
    CupsClientSending(false);
    if (complete) // taken by the scheduler, held whole, or nothing to print
        JobSeal(&printer->hold.job, NULL);
    else
        JobFail(&printer->hold.job);
    CupsJobDisconnect(printer);
    pthread_mutex_lock(&PrintersLock);
    printer->inUse = false;
    pthread_mutex_unlock(&PrintersLock);
    return complete;
}

// Sends the jobs an earlier run held, before the first client is served.
void CupsClientDeliverHeld(void) {
    CupsClientSending(false); // a client whose open failed may have left it set
    DeliverEarlierHeldJobs();
}

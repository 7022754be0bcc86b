// Host layer: the CUPS spooler. A printer is a CUPS destination; a document is one CUPS job in
// raw format. Every path ends the job: it is handed over whole, or it is cancelled.
//
// - OpenPrinterA finds the destination over a connection of the handle's own (nothing is cached
//   between jobs), which the handle keeps.
// - StartDocPrinterA creates the job (Create-Job), so that an unknown or refusing queue fails
//   where the caller expects it. The job's name is the document's name, its requesting user the
//   relay's own user, and its job-originating-host-name the IPv4 address of the client being
//   served, as the layer's accept recorded it (the relay serves one connection at a time).
// - WritePrinter gathers bytes in the handle's fixed 64 KiB buffer: memory stays flat whatever
//   the job's size. The document (Send-Document) starts with the first full buffer, or at the
//   close for a smaller job, and each full buffer goes out as one HTTP chunk. A small job thus
//   has no request open while its client idles, and a scheduler restart or an idle connection
//   closed by cupsd's Timeout does not harm it: a connection the scheduler closed is opened
//   afresh before the document starts. Once the document has started, bytes that have waited
//   for FLUSH_AFTER_SECONDS go out with the next write, so that a client that trickles its job
//   keeps the request busy enough for cupsd's Timeout. cupsd keeps a created job across its
//   restart, so a job is never created twice (which would also undo an administrator's cancel).
// - A connection that wrote nothing has nothing to print: ClosePrinter cancels its job and
//   succeeds, so nothing stays queued and nothing prints.
// - Any failure (a buffer or the document's end refused, a lost connection, a queue stopped,
//   rejecting or deleted) cancels the job on a fresh connection and makes the failing call
//   return FALSE; a failed write reports no byte taken. A job whose cancel cannot reach the
//   scheduler is remembered and cancelled at the next open.

#include "cups_client.h"

#include <cups/cups.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

enum {
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_WRITE_FAULT = 29,
    ERROR_PRINT_CANCELLED = 63,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_INVALID_PRINTER_NAME = 1801,
    RPC_S_SERVER_UNAVAILABLE = 1722,
    ERROR_SPL_NO_STARTDOC = 3024,
    CUPS_BUFFER_SIZE = 64 * 1024,
    CONNECT_TIMEOUT_MS = 30000,
    FLUSH_AFTER_SECONDS = 2,
    PENDING_CANCELS = 32,
};

struct CupsPrinter {
    bool inUse;
    bool sending;       // the document's request is open
    bool failed;        // the job was cancelled after a failure
    http_t *connection; // NULL only when a reconnection failed
    int jobId;          // 0 until the job is created
    unsigned int used;  // bytes waiting in buffer
    unsigned int error; // the failure's error number, kept for the close
    time_t lastSent;    // when bytes last went to the scheduler
    char name[256];     // the destination's own name
    char title[256];
    char buffer[CUPS_BUFFER_SIZE];
};

static CupsPrinter Printers[CUPS_CLIENT_SLOTS];
static int PendingCancels[PENDING_CANCELS]; // job ids; 0 for a free entry
static pthread_mutex_t PrintersLock = PTHREAD_MUTEX_INITIALIZER;

// Returns the open printer of a slot, or NULL.
static CupsPrinter *PrinterAt(int slot) {
    if (slot < 0 || slot >= CUPS_CLIENT_SLOTS || !Printers[slot].inUse)
        return NULL;
    return &Printers[slot];
}

// Tells whether the last CUPS failure is a scheduler out of reach.
static bool SchedulerUnreachable(void) {
    ipp_status_t status = cupsLastError();
    return status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || status == IPP_STATUS_ERROR_INTERNAL;
}

// Maps the last CUPS failure: the scheduler out of reach, or the given error.
static unsigned int LastCupsError(unsigned int otherwise) {
    if (SchedulerUnreachable())
        return RPC_S_SERVER_UNAVAILABLE;
    return otherwise;
}

// Maps the last CUPS failure of a job under way: gone from the scheduler, or a write fault.
static unsigned int JobError(void) {
    ipp_status_t status = cupsLastError();
    if (status == IPP_STATUS_ERROR_NOT_FOUND || status == IPP_STATUS_ERROR_NOT_POSSIBLE)
        return ERROR_PRINT_CANCELLED;
    return LastCupsError(ERROR_WRITE_FAULT);
}

// Seconds on a clock that only moves forward.
static time_t Now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// Connects to the scheduler that libcups finds (CUPS_SERVER included); NULL when out of reach.
static http_t *Connect(void) {
    return httpConnect2(cupsServer(), ippPort(), NULL, AF_UNSPEC, cupsEncryption(), 1,
                        CONNECT_TIMEOUT_MS, NULL);
}

// Replaces a printer's connection with a new one; false when the scheduler is out of reach.
static bool Reconnect(CupsPrinter *printer) {
    if (printer->connection != NULL)
        httpClose(printer->connection);
    printer->connection = Connect();
    return printer->connection != NULL;
}

// Tells whether the scheduler closed an idle connection (restarted, or its Timeout passed).
static bool PeerClosed(http_t *connection) {
    char byte;
    ssize_t got = recv(httpGetFd(connection), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Cancels a job by its id; false only when the scheduler could not be asked.
static bool CancelJob(http_t *connection, int jobId) {
    char uri[64];
    snprintf(uri, sizeof uri, "ipp://localhost/jobs/%d", jobId);
    ipp_t *request = ippNewRequest(IPP_OP_CANCEL_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", NULL, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", NULL,
                 cupsUser());
    ippDelete(cupsDoRequest(connection, request, "/jobs/"));
    // A job already gone, ended or cancelled needs nothing more.
    return !SchedulerUnreachable();
}

// Remembers a job to cancel once the scheduler is back; when full, the oldest entry goes.
static void RememberCancel(int jobId) {
    pthread_mutex_lock(&PrintersLock);
    int free = 0;
    while (free < PENDING_CANCELS - 1 && PendingCancels[free] != 0)
        free++;
    if (PendingCancels[free] != 0) {
        memmove(PendingCancels, PendingCancels + 1, sizeof PendingCancels - sizeof(int));
        free = PENDING_CANCELS - 1;
    }
    PendingCancels[free] = jobId;
    pthread_mutex_unlock(&PrintersLock);
}

// Cancels the remembered jobs that the scheduler can now be asked about.
static void CancelRemembered(http_t *connection) {
    pthread_mutex_lock(&PrintersLock);
    for (int i = 0; i < PENDING_CANCELS; i++) {
        if (PendingCancels[i] != 0 && CancelJob(connection, PendingCancels[i]))
            PendingCancels[i] = 0;
    }
    pthread_mutex_unlock(&PrintersLock);
}

// Cancels the printer's job, on a fresh connection when asked or when the old one was closed;
// a job that the scheduler cannot be asked about now is remembered for the next open.
static void CancelPrinterJob(CupsPrinter *printer, bool freshConnection) {
    bool reachable =
        printer->connection != NULL && !freshConnection && !PeerClosed(printer->connection);
    if (!reachable)
        reachable = Reconnect(printer);
    if (!reachable || !CancelJob(printer->connection, printer->jobId))
        RememberCancel(printer->jobId);
}

// Ends a job after a failure: cancelled, its error kept for the close.
static void Abandon(CupsPrinter *printer, unsigned int error) {
    printer->failed = true;
    printer->sending = false;
    printer->used = 0;
    printer->error = error;
    CancelPrinterJob(printer, true); // the old connection is mid-request or broken
}

// Creates a job on a destination (Create-Job); its id, or 0 when the scheduler refuses.
static int CreateJob(http_t *connection, const char *name, const char *title,
                     const char *originHost) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", NULL, "localhost", ippPort(),
                     "/printers/%s", name);
    ipp_t *request = ippNewRequest(IPP_OP_CREATE_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", NULL, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", NULL,
                 cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", NULL, title);
    // cupsd keeps this attribute from local clients only, as for its own LPD front end.
    if (originHost[0] != '\0')
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_NAME, "job-originating-host-name", NULL,
                     originHost);
    ipp_t *response = cupsDoRequest(connection, request, "/");
    ipp_attribute_t *id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER);
    int jobId = 0;
    if (id != NULL && cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE)
        jobId = ippGetInteger(id, 0);
    ippDelete(response);
    return jobId;
}

// Opens the document's request, on a fresh connection when the scheduler closed the idle one.
static bool StartDocument(CupsPrinter *printer) {
    if (PeerClosed(printer->connection) && !Reconnect(printer))
        return false;
    if (cupsStartDocument(printer->connection, printer->name, printer->jobId, printer->title,
                          CUPS_FORMAT_RAW, 1) != HTTP_STATUS_CONTINUE)
        return false;
    printer->sending = true;
    return true;
}

// Sends the gathered bytes as one chunk of the document, starting the document first if needed.
static bool Flush(CupsPrinter *printer) {
    if (!printer->sending && !StartDocument(printer))
        return false;
    // A write of nothing would end the chunked request early.
    if (printer->used > 0 && cupsWriteRequestData(printer->connection, printer->buffer,
                                                  printer->used) != HTTP_STATUS_CONTINUE)
        return false;
    printer->used = 0;
    printer->lastSent = Now();
    return true;
}

// Tells whether gathered bytes of a started document have waited long enough to go out now.
static bool DueForSending(const CupsPrinter *printer) {
    return printer->sending && printer->used > 0 &&
           Now() - printer->lastSent >= FLUSH_AFTER_SECONDS;
}

// Ends the slot's job: cancelled when empty, handed over whole otherwise, cancelled on a
// failure; false when it was not handed over whole.
static bool EndJob(CupsPrinter *printer, unsigned int *error) {
    if (printer->jobId == 0)
        return true;
    if (printer->failed) {
        *error = printer->error;
        return false;
    }
    if (!printer->sending && printer->used == 0) {
        // Nothing to print: a port check, a scanner, a client that gave up.
        CancelPrinterJob(printer, false);
        return true;
    }
    if (Flush(printer) &&
        cupsFinishDocument(printer->connection, printer->name) <= IPP_STATUS_OK_EVENTS_COMPLETE)
        return true;
    *error = JobError();
    Abandon(printer, *error);
    return false;
}

// Opens a destination by name with a connection of its own to the scheduler.
bool CupsClientOpen(const char *printerName, int *slot, unsigned int *error) {
    http_t *connection = Connect();
    if (connection == NULL) {
        *error = RPC_S_SERVER_UNAVAILABLE;
        return false;
    }
    CancelRemembered(connection);
    cups_dest_t *destination = cupsGetNamedDest(connection, printerName, NULL);
    if (destination == NULL) {
        *error = LastCupsError(ERROR_INVALID_PRINTER_NAME);
        httpClose(connection);
        return false;
    }
    char name[256];
    snprintf(name, sizeof name, "%s", destination->name);
    cupsFreeDests(1, destination);
    pthread_mutex_lock(&PrintersLock);
    for (int i = 0; i < CUPS_CLIENT_SLOTS; i++) {
        if (Printers[i].inUse)
            continue;
        Printers[i].inUse = true;
        Printers[i].connection = connection;
        Printers[i].jobId = 0;
        memcpy(Printers[i].name, name, sizeof name);
        pthread_mutex_unlock(&PrintersLock);
        *slot = i;
        return true;
    }
    pthread_mutex_unlock(&PrintersLock);
    httpClose(connection);
    *error = ERROR_INVALID_PARAMETER;
    return false;
}

// Creates the job; its document starts once there is something to print.
unsigned int CupsClientStart(int slot, const char *title, const char *originHost,
                             unsigned int *error) {
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL || printer->jobId != 0) {
        *error = printer == NULL ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
        return 0;
    }
    int jobId = CreateJob(printer->connection, printer->name, title, originHost);
    if (jobId <= 0) {
        *error = LastCupsError(ERROR_ACCESS_DENIED);
        return 0;
    }
    snprintf(printer->title, sizeof printer->title, "%s", title);
    printer->jobId = jobId;
    printer->sending = false;
    printer->failed = false;
    printer->used = 0;
    return (unsigned int)jobId;
}

// Gathers bytes, sending each full buffer; on a failure the job is cancelled and nothing of
// this call counts as taken.
bool CupsClientWrite(int slot, const void *data, unsigned int count, unsigned int *error) {
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL) {
        *error = ERROR_INVALID_HANDLE;
        return false;
    }
    if (printer->jobId == 0 || printer->failed) {
        *error = printer->failed ? printer->error : (unsigned int)ERROR_SPL_NO_STARTDOC;
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
            *error = JobError();
            Abandon(printer, *error);
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
    if (printer->connection != NULL)
        httpClose(printer->connection);
    printer->connection = NULL;
    pthread_mutex_lock(&PrintersLock);
    printer->inUse = false;
    pthread_mutex_unlock(&PrintersLock);
    return complete;
}

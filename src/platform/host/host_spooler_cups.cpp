// Host layer: the CUPS spooler. A printer is a CUPS destination; a document is one CUPS job in
// raw format, handed to the scheduler by one Print-Job request that carries the job's
// description and all its bytes. The scheduler makes the job only once that request has arrived
// whole, so every path ends well: the job is handed over whole, or it never exists there.
//
// - OpenPrinterA finds the destination over a connection of the handle's own (nothing is cached
//   between jobs), which the handle keeps.
// - StartDocPrinterA asks the destination whether it accepts jobs, so that a refusing queue fails
//   where the caller expects it (an unknown queue already failed to open).
// - WritePrinter gathers bytes in the handle's fixed 64 KiB buffer: memory stays flat whatever
//   the job's size. The request starts with the first full buffer, or at the close for a smaller
//   job, and each full buffer goes out as one HTTP chunk. A job of up to 64 KiB thus reaches the
//   scheduler only at its client's close: its client may idle for as long as it likes, and a
//   scheduler restart meanwhile does not harm it (a connection the scheduler closed is opened
//   afresh). Once the request has started, bytes that have waited for FLUSH_AFTER_SECONDS go out
//   with the next write, so that a client that trickles its job keeps the request busy enough
//   for cupsd's Timeout; the job of a client that stops sending altogether for longer than that
//   Timeout fails, and the failure shows.
// - ClosePrinter ends the request and reads the scheduler's answer; the job exists from then on.
//   A connection that wrote nothing has nothing to print: no request is made, so port checks and
//   scanners leave nothing queued, nothing printed and nothing in the job history.
// - Any failure (a buffer refused, a lost connection, the scheduler stopped or restarted, a queue
//   stopped, rejecting or deleted, a refusing answer) drops the connection in the middle of the
//   request, which the scheduler then discards whole, and makes the failing call return FALSE;
//   a failed write reports no byte taken. A relay killed during a job leaves nothing behind.
// - The job's name is the document's name, its requesting user the relay's own user, and its
//   job-originating-host-name the IPv4 address of the client being served, as the layer's accept
//   recorded it (the relay serves one connection at a time); cupsd keeps that attribute from
//   local clients only, as for its own LPD front end.

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
    ERROR_INVALID_PARAMETER = 87,
    ERROR_INVALID_PRINTER_NAME = 1801,
    RPC_S_SERVER_UNAVAILABLE = 1722,
    ERROR_SPL_NO_STARTDOC = 3024,
    CUPS_BUFFER_SIZE = 64 * 1024,
    CONNECT_TIMEOUT_MS = 30000,
    FLUSH_AFTER_SECONDS = 2,
};

struct CupsPrinter {
    bool inUse;
    bool started;        // StartDocPrinterA has begun the document
    bool sending;        // the Print-Job request is open
    bool failed;         // the document was given up after a failure
    http_t *connection;  // NULL once given up, or when a reconnection failed
    unsigned int used;   // bytes waiting in buffer
    unsigned int error;  // the failure's error number, kept for the close
    time_t lastSent;     // when bytes last went to the scheduler
    char name[256];      // the destination's own name
    char title[256];     // the document's name
    char originHost[16]; // the client's address, dotted
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

// Maps the last CUPS failure: the scheduler out of reach, or the given error.
static unsigned int LastCupsError(unsigned int otherwise) {
    ipp_status_t status = cupsLastError();
    if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || status == IPP_STATUS_ERROR_INTERNAL)
        return RPC_S_SERVER_UNAVAILABLE;
    return otherwise;
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

// Tells whether the scheduler closed an idle connection (restarted, or its Timeout passed).
static bool PeerClosed(http_t *connection) {
    char byte;
    ssize_t got = recv(httpGetFd(connection), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Makes sure the printer's connection is open, replacing one that the scheduler closed.
static bool Connected(CupsPrinter *printer) {
    if (printer->connection != NULL && !PeerClosed(printer->connection))
        return true;
    if (printer->connection != NULL)
        httpClose(printer->connection);
    printer->connection = Connect();
    return printer->connection != NULL;
}

// Starts a request naming the destination by its URI and the relay's user as the requester.
static ipp_t *NewPrinterRequest(ipp_op_t operation, const char *name) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", NULL, "localhost", ippPort(),
                     "/printers/%s", name);
    ipp_t *request = ippNewRequest(operation);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", NULL, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", NULL,
                 cupsUser());
    return request;
}

// Asks whether the destination accepts jobs now; false also when the scheduler cannot tell.
static bool AcceptsJobs(CupsPrinter *printer) {
    static const char *const wanted[] = {"printer-is-accepting-jobs"};
    if (!Connected(printer))
        return false;
    ipp_t *request = NewPrinterRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, printer->name);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 1, NULL,
                  wanted);
    ipp_t *response = cupsDoRequest(printer->connection, request, "/");
    ipp_attribute_t *accepting =
        ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    bool accepts = accepting != NULL && ippGetBoolean(accepting, 0);
    ippDelete(response);
    return accepts;
}

// Opens the Print-Job request that carries the job, on a fresh connection when the scheduler
// closed the idle one.
static bool StartPrintJob(CupsPrinter *printer) {
    if (!Connected(printer))
        return false;
    ipp_t *request = NewPrinterRequest(IPP_OP_PRINT_JOB, printer->name);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", NULL, printer->title);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", NULL,
                 CUPS_FORMAT_RAW);
    if (printer->originHost[0] != '\0')
        ippAddString(request, IPP_TAG_JOB, IPP_TAG_NAME, "job-originating-host-name", NULL,
                     printer->originHost);
    http_status_t status = cupsSendRequest(printer->connection, request, "/", CUPS_LENGTH_VARIABLE);
    ippDelete(request);
    if (status != HTTP_STATUS_CONTINUE)
        return false;
    printer->sending = true;
    return true;
}

// Sends the gathered bytes as one chunk of the request, starting the request first if needed.
static bool Flush(CupsPrinter *printer) {
    if (!printer->sending && !StartPrintJob(printer))
        return false;
    // A write of nothing would end the chunked request early. libcups keeps a small write in a
    // buffer of its own: flushed, the bytes are with the scheduler, and its Timeout sees them.
    if (printer->used > 0 && cupsWriteRequestData(printer->connection, printer->buffer,
                                                  printer->used) != HTTP_STATUS_CONTINUE)
        return false;
    if (httpFlushWrite(printer->connection) < 0)
        return false;
    printer->used = 0;
    printer->lastSent = Now();
    return true;
}

// Tells whether gathered bytes of a started request have waited long enough to go out now.
static bool DueForSending(const CupsPrinter *printer) {
    return printer->sending && printer->used > 0 &&
           Now() - printer->lastSent >= FLUSH_AFTER_SECONDS;
}

// Gives the document up after a failure: the connection is dropped in the middle of the
// request, which the scheduler then discards whole; the error is kept for the close.
static void Abandon(CupsPrinter *printer, unsigned int error) {
    printer->failed = true;
    printer->sending = false;
    printer->used = 0;
    printer->error = error;
    if (printer->connection != NULL)
        httpClose(printer->connection);
    printer->connection = NULL;
}

// Ends the request and reads the answer; true when the scheduler took the job whole.
static bool FinishPrintJob(CupsPrinter *printer) {
    if (!Flush(printer))
        return false;
    // No answer at all (the scheduler gone since the last chunk) is a failure too; the last
    // error would still tell of an earlier request's success.
    ipp_t *response = cupsGetResponse(printer->connection, "/");
    bool taken = response != NULL && ippGetStatusCode(response) <= IPP_STATUS_OK_EVENTS_COMPLETE;
    ippDelete(response);
    return taken;
}

// Ends the slot's document: handed over whole, or given up on a failure; false when it was
// not handed over whole.
static bool EndJob(CupsPrinter *printer, unsigned int *error) {
    if (printer->failed) {
        *error = printer->error;
        return false;
    }
    // Nothing to print (a port check, a scanner, a client that gave up): no job is made.
    if (!printer->started || (!printer->sending && printer->used == 0))
        return true;
    if (FinishPrintJob(printer))
        return true;
    *error = LastCupsError(ERROR_WRITE_FAULT);
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
        Printers[i].started = false;
        Printers[i].sending = false;
        Printers[i].failed = false;
        Printers[i].used = 0;
        Printers[i].connection = connection;
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

// Begins the document once the destination accepts jobs; the job goes out with its bytes.
unsigned int CupsClientStart(int slot, const char *title, const char *originHost,
                             unsigned int *error) {
    static unsigned int Documents;
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL || printer->started) {
        *error = printer == NULL ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (!AcceptsJobs(printer)) {
        *error = LastCupsError(ERROR_ACCESS_DENIED);
        return 0;
    }
    snprintf(printer->title, sizeof printer->title, "%s", title);
    snprintf(printer->originHost, sizeof printer->originHost, "%s", originHost);
    printer->started = true;
    printer->sending = false;
    printer->failed = false;
    printer->used = 0;
    Documents = Documents % 0x7FFFFFFF + 1; // never 0, which tells a failure
    return Documents;
}

// Gathers bytes, sending each full buffer; on a failure the document is given up and nothing
// of this call counts as taken.
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
            *error = LastCupsError(ERROR_WRITE_FAULT);
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

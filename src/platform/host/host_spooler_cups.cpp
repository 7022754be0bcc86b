// Host layer: the CUPS spooler. A printer is a CUPS destination; a document is one CUPS job,
// titled with the document's name, in raw format. Written bytes stream to the scheduler as they
// come (no job is buffered whole) and the job is complete when the handle is closed. An unknown
// queue, an unreachable scheduler or a refused job fail where the caller expects a failure.

#include "cups_client.h"

#include <cups/cups.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

enum {
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_WRITE_FAULT = 29,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_INVALID_PRINTER_NAME = 1801,
    RPC_S_SERVER_UNAVAILABLE = 1722,
    ERROR_SPL_NO_STARTDOC = 3024,
};

struct CupsPrinter {
    bool inUse;
    http_t *connection;
    int jobId;      // 0 until a document is started
    char name[256]; // the destination's own name
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

// Opens a destination by name with a connection of its own to the scheduler.
bool CupsClientOpen(const char *printerName, int *slot, unsigned int *error) {
    cups_dest_t *destination = cupsGetNamedDest(CUPS_HTTP_DEFAULT, printerName, NULL);
    if (destination == NULL) {
        *error = LastCupsError(ERROR_INVALID_PRINTER_NAME);
        return false;
    }
    char name[256];
    snprintf(name, sizeof name, "%s", destination->name);
    cupsFreeDests(1, destination);
    http_t *connection =
        httpConnect2(cupsServer(), ippPort(), NULL, AF_UNSPEC, cupsEncryption(), 1, 30000, NULL);
    if (connection == NULL) {
        *error = RPC_S_SERVER_UNAVAILABLE;
        return false;
    }
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

// Creates the job and starts its one raw document; 0 when CUPS refuses either.
unsigned int CupsClientStart(int slot, const char *title, unsigned int *error) {
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL || printer->jobId != 0) {
        *error = printer == NULL ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
        return 0;
    }
    int jobId = cupsCreateJob(printer->connection, printer->name, title, 0, NULL);
    if (jobId <= 0) {
        *error = LastCupsError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (cupsStartDocument(printer->connection, printer->name, jobId, title, CUPS_FORMAT_RAW, 1) !=
        HTTP_STATUS_CONTINUE) {
        *error = LastCupsError(ERROR_ACCESS_DENIED);
        cupsCancelJob2(printer->connection, printer->name, jobId, 0);
        return 0;
    }
    printer->jobId = jobId;
    return (unsigned int)jobId;
}

// Streams bytes into the document.
bool CupsClientWrite(int slot, const void *data, unsigned int count, unsigned int *error) {
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL || printer->jobId == 0) {
        *error = printer == NULL ? ERROR_INVALID_HANDLE : ERROR_SPL_NO_STARTDOC;
        return false;
    }
    if (cupsWriteRequestData(printer->connection, (const char *)data, count) !=
        HTTP_STATUS_CONTINUE) {
        *error = ERROR_WRITE_FAULT;
        return false;
    }
    return true;
}

// Ends the document, which completes the job, and releases the slot.
bool CupsClientClose(int slot, unsigned int *error) {
    CupsPrinter *printer = PrinterAt(slot);
    if (printer == NULL) {
        *error = ERROR_INVALID_HANDLE;
        return false;
    }
    bool complete = true;
    if (printer->jobId != 0 &&
        cupsFinishDocument(printer->connection, printer->name) != IPP_STATUS_OK) {
        *error = LastCupsError(ERROR_WRITE_FAULT);
        complete = false;
    }
    httpClose(printer->connection);
    pthread_mutex_lock(&PrintersLock);
    printer->inUse = false;
    pthread_mutex_unlock(&PrintersLock);
    return complete;
}

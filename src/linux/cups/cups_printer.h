// The CUPS spooler's slot: one open destination and the job begun on it, for the spooler's two
// files (cups_spooler.cpp, the slots behind the handles; cups_job.cpp, the job on its way).
#pragma once

#include "cups_ipp.h"
#include "hold_file.h"

#include <time.h>

enum { CUPS_BUFFER_SIZE = 64 * 1024 };

struct CupsPrinter {
    bool inUse;
    bool started;        // StartDocPrinterA has begun the document
    bool failed;         // the document was given up
    bool streaming;      // the Print-Job request of the fast path is open
    bool streamGivenUp;  // the fast path failed: the hold file carries the job
    http_t *connection;  // NULL when the scheduler was out of reach, or after the stream
    unsigned int used;   // bytes waiting in buffer
    unsigned int held;   // of those, the bytes the hold file has already
    unsigned int error;  // the failure's error number, kept for the close
    time_t lastSent;     // when bytes last went to the scheduler
    CupsAnswer answer;   // why the fast path failed
    char name[256];      // the destination's name
    char title[256];     // the document's name
    char originHost[64]; // the client's address: IPv4 dotted, IPv6 compressed
    HoldFile hold;       // the job's copy on disk, and the job's life (hold.job)
    char buffer[CUPS_BUFFER_SIZE];
};

// Drops the printer's connection, which ends an open request that the scheduler then discards.
void CupsJobDisconnect(CupsPrinter *printer);

// Goes on without a copy on disk after the hold file failed, saying so.
void CupsJobLoseHold(CupsPrinter *printer);

// Lets the hold file alone carry the job (when it has one) after the scheduler was silent or out
// of reach as the job began (printer->answer says why): nothing more keeps its client waiting.
void CupsJobWithoutScheduler(CupsPrinter *printer);

// Holds bytes at once and gathers them for the stream; false (error set) when the document is
// given up.
bool CupsJobWrite(CupsPrinter *printer, const void *data, unsigned int count, unsigned int *error);

// Ends the document: taken by the scheduler, held for the next start, or given up; false (error
// set) when it was given up. Its client is told by the job's seal or failure.
bool CupsJobEnd(CupsPrinter *printer, unsigned int *error);

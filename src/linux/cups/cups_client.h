// The CUPS spooler's calls behind the host layer's spooler front, with plain types so that no file
// needs both the Linux and the Windows declarations. Failures return false (or 0) and leave a Win32
// error number in *error.
#pragma once

#include <stddef.h>

enum { CUPS_CLIENT_SLOTS = 16 };

// Opens a destination by name; its slot goes to *slot. Fails only when the scheduler does not
// know the destination; one out of reach does not make the open fail.
bool CupsClientOpen(const char *name, int *slot, unsigned int *error);

// Begins a document, titled and naming originHost (may be "") as the host it came from, once
// the destination does not reject jobs; the job goes to the scheduler with its bytes. Returns a
// non-zero number, or 0 (also when the slot is not open or already has a document).
unsigned int CupsClientStart(int slot, const char *title, const char *originHost,
                             unsigned int *error);

// Hands bytes to the document; false when they can neither be held nor reach the scheduler, or
// the scheduler refused the job for good (the document is then given up, and the scheduler keeps
// nothing of it), or when no document was started.
bool CupsClientWrite(int slot, const void *data, unsigned int count, unsigned int *error);

// Ends the document, handing the job over whole (a document without bytes makes no job), and
// releases the slot; false when the job was not handed over whole. Waits while the scheduler
// cannot take the job for now; a stop of the process meanwhile leaves the job held, and true.
bool CupsClientClose(int slot, unsigned int *error);

// Fills model and location (each "" when unknown) with what the scheduler knows of the slot's
// destination; a raw queue's "Local Raw Printer" names no model. False when the slot is not open.
bool CupsClientDescribe(int slot, char *model, size_t modelSize, char *location,
                        size_t locationSize);

// Sends the jobs that an earlier run of this instance held whole, oldest first.
void CupsClientDeliverHeld(void);

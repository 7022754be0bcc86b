// Host layer: the libcups calls behind the CUPS spooler, with plain types so that no file needs
// both the Linux and the Windows declarations. Failures return false (or 0) and leave a Win32
// error number in *error.
#pragma once

enum { CUPS_CLIENT_SLOTS = 16 };

// Opens a destination by name; its slot goes to *slot.
bool CupsClientOpen(const char *name, int *slot, unsigned int *error);

// Creates a job with its one raw document; returns the job's id, or 0 (also when the slot is
// not open or already has a document).
unsigned int CupsClientStart(int slot, const char *title, unsigned int *error);

// Streams bytes into the slot's document; fails when no document was started.
bool CupsClientWrite(int slot, const void *data, unsigned int count, unsigned int *error);

// Ends the document (completing the job) and releases the slot.
bool CupsClientClose(int slot, unsigned int *error);

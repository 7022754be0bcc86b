// Host layer: the libcups calls behind the CUPS spooler, with plain types so that no file needs
// both the Linux and the Windows declarations. Failures return false (or 0) and leave a Win32
// error number in *error.
#pragma once

enum { CUPS_CLIENT_SLOTS = 16 };

// Opens a destination by name; its slot goes to *slot.
bool CupsClientOpen(const char *name, int *slot, unsigned int *error);

// Creates the job, titled and naming originHost (may be "") as the host it came from; returns
// the job's id, or 0 (also when the slot is not open or already has a job).
unsigned int CupsClientStart(int slot, const char *title, const char *originHost,
                             unsigned int *error);

// Hands bytes to the job; false when they cannot reach the scheduler (the job is then
// cancelled) or when no job was started.
bool CupsClientWrite(int slot, const void *data, unsigned int count, unsigned int *error);

// Ends the job (printed whole, cancelled when empty or failed) and releases the slot; false
// when the job could not be completed.
bool CupsClientClose(int slot, unsigned int *error);

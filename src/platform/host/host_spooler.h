// Host layer: the folder spooler's calls, for the spooler front that also offers CUPS. The front
// checks the arguments common to both spoolers. Folder handles are small numbers; CUPS handles
// start at CUPS_HANDLE_BASE.
#pragma once

#include "win32.h"

#define ERROR_INVALID_DATATYPE 1804L
#define ERROR_SPL_NO_STARTDOC 3024L
enum { CUPS_HANDLE_BASE = 0x1000 };

BOOL FolderOpenPrinter(const char *printerName, LPHANDLE handle);
DWORD FolderStartDoc(HANDLE handle, const char *title);
BOOL FolderWrite(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD written);
BOOL FolderClosePrinter(HANDLE handle);

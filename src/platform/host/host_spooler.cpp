// Host layer: the print spooler. Two spoolers stand behind the Win32 calls, chosen by the layer's
// own setting FERROLINK_SPOOLER: "folder" (a folder per printer under the layer's root, for demos
// and tests) or "cups" (each printer is a CUPS destination of the scheduler that libcups finds,
// CUPS_SERVER included). Unset or empty, it is the build's default: "folder" in the build tree,
// "cups" in the packaged relay (FERROLINK_DEFAULT_SPOOLER), so the installed command relays into
// CUPS as its manual page shows it. A CUPS job names the client being served as the host it
// came from: the peer of the connection that the layer's accept returned last.

#include "host_spooler.h"

#include "linux/cups/cups_client.h"
#include "host_internal.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#ifndef FERROLINK_DEFAULT_SPOOLER
#define FERROLINK_DEFAULT_SPOOLER "folder"
#endif

// Tells whether printers are CUPS destinations.
static bool UseCups(void) {
    static int cups = -1;
    if (cups < 0) {
        const char *setting = getenv("FERROLINK_SPOOLER");
        if (setting == NULL || setting[0] == '\0')
            setting = FERROLINK_DEFAULT_SPOOLER;
        cups = strcmp(setting, "cups") == 0;
    }
    return cups == 1;
}

// CUPS handles are CUPS_HANDLE_BASE plus a slot of the CUPS client.
static bool IsCupsHandle(HANDLE handle) {
    return (uintptr_t)handle >= CUPS_HANDLE_BASE;
}

// Finds the CUPS client's slot behind a handle that IsCupsHandle accepted.
static int CupsSlot(HANDLE handle) {
    return (int)((uintptr_t)handle - CUPS_HANDLE_BASE);
}

// Keeps a CUPS client's error as the last error; passes its outcome on.
static bool CupsOutcome(bool succeeded, unsigned int error) {
    if (!succeeded)
        SetHostError(error);
    return succeeded;
}

// Sends what an earlier run left held; only the CUPS spooler holds jobs.
void HostDeliverHeldJobs(void) {
    if (UseCups())
        CupsClientDeliverHeld();
}

// Opens a printer by name: 87 for an empty name, 1801 for one the spooler does not know.
BOOL OpenPrinterA(LPSTR printerName, LPHANDLE handle, LPPRINTER_DEFAULTSA) {
    if (handle == NULL || printerName == NULL || printerName[0] == '\0') {
        SetHostError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!UseCups())
        return FolderOpenPrinter(printerName, handle);
    unsigned int error = 0;
    int slot = 0;
    if (!CupsOutcome(CupsClientOpen(printerName, &slot, &error), error))
        return FALSE;
    *handle = (HANDLE)(uintptr_t)(CUPS_HANDLE_BASE + slot);
    return TRUE;
}

// Begins a job (level 1, datatype RAW) titled with the document's name; its id, or 0.
DWORD StartDocPrinterA(HANDLE handle, DWORD level, LPBYTE docInfo) {
    const DOC_INFO_1A *info = (const DOC_INFO_1A *)docInfo;
    if (level != 1 || info == NULL) {
        SetHostError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (info->pDatatype != NULL && strcasecmp(info->pDatatype, "RAW") != 0) {
        SetHostError(ERROR_INVALID_DATATYPE);
        return 0;
    }
    const char *title = info->pDocName != NULL ? info->pDocName : "";
    if (!IsCupsHandle(handle))
        return FolderStartDoc(handle, title);
    unsigned int error = 0;
    char client[64];
    LastAcceptedPeer(client, sizeof client);
    DWORD job = CupsClientStart(CupsSlot(handle), title, client, &error);
    CupsOutcome(job != 0, error);
    return job;
}

// Hands bytes to the job; *written tells how many reached it.
BOOL WritePrinter(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD written) {
    if (!IsCupsHandle(handle))
        return FolderWrite(handle, buffer, count, written);
    unsigned int error = 0;
    bool sent = CupsOutcome(CupsClientWrite(CupsSlot(handle), buffer, count, &error), error);
    if (written != NULL)
        *written = sent ? count : 0;
    return sent;
}

// Tells what the spooler knows of a printer at level 2: its make and model (as the driver's
// name) and its location, from CUPS; the folder spooler knows neither (ERROR_NOT_SUPPORTED).
BOOL GetPrinterA(HANDLE handle, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed) {
    char model[256];
    char location[256];
    if (level != 2 || needed == NULL) {
        SetHostError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsCupsHandle(handle)) {
        SetHostError(50); // ERROR_NOT_SUPPORTED
        return FALSE;
    }
    if (!CupsClientDescribe(CupsSlot(handle), model, sizeof model, location, sizeof location)) {
        SetHostError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    size_t modelSize = strlen(model) + 1;
    size_t total = sizeof(PRINTER_INFO_2A) + modelSize + strlen(location) + 1;
    *needed = (DWORD)total;
    if (buffer == NULL || size < total) {
        SetHostError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    PRINTER_INFO_2A *info = (PRINTER_INFO_2A *)buffer;
    memset(info, 0, sizeof *info);
    char *strings = (char *)buffer + sizeof *info;
    memcpy(strings, model, modelSize);
    memcpy(strings + modelSize, location, strlen(location) + 1);
    info->pDriverName = strings;
    info->pLocation = strings + modelSize;
    return TRUE;
}

// Tells nothing of a printer's driver: CUPS names its make and model at level 2 only.
BOOL GetPrinterDriverA(HANDLE, LPSTR, DWORD, LPBYTE, DWORD, LPDWORD) {
    SetHostError(ERROR_UNKNOWN_PRINTER_DRIVER);
    return FALSE;
}

// Gives up the job begun on the handle: its connection counts as broken off, so that the close
// that follows prints nothing and its client hears a reset.
BOOL AbortPrinter(HANDLE) {
    HostAbortServedClient();
    return TRUE;
}

// Releases the handle; a job begun on it is complete afterwards, or FALSE tells it failed.
BOOL ClosePrinter(HANDLE handle) {
    if (!IsCupsHandle(handle))
        return FolderClosePrinter(handle);
    unsigned int error = 0;
    return CupsOutcome(CupsClientClose(CupsSlot(handle), &error), error);
}

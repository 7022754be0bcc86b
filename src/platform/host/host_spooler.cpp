// Host layer: the print spooler. Two spoolers stand behind the Win32 calls, chosen by the layer's
// own setting FERROLINK_SPOOLER: "folder" (the default: a folder per printer under the layer's
// root, for demos and tests) or "cups" (each printer is a CUPS destination of the scheduler that
// libcups finds, CUPS_SERVER included).

#include "host_spooler.h"

#include "cups_client.h"
#include "host_internal.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

// Tells whether printers are CUPS destinations.
static bool UseCups(void) {
    static int cups = -1;
    if (cups < 0) {
        const char *setting = getenv("FERROLINK_SPOOLER");
        cups = setting != NULL && strcmp(setting, "cups") == 0;
    }
    return cups == 1;
}

// CUPS handles are CUPS_HANDLE_BASE plus a slot of the CUPS client.
static bool IsCupsHandle(HANDLE handle) {
    return (uintptr_t)handle >= CUPS_HANDLE_BASE && (uintptr_t)handle < CUPS_HANDLE_BASE + 16;
}

// Whether a document was started on each CUPS slot.
static bool CupsStarted[16];

static BOOL CupsOpenPrinter(LPSTR printerName, LPHANDLE handle) {
    unsigned int error = 0;
    int slot = 0;
    if (handle == NULL || printerName == NULL || printerName[0] == '\0') {
        SetHostError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!CupsClientOpen(printerName, &slot, &error)) {
        SetHostError(error);
        return FALSE;
    }
    CupsStarted[slot] = false;
    *handle = (HANDLE)(uintptr_t)(CUPS_HANDLE_BASE + slot);
    return TRUE;
}

static int CupsSlot(HANDLE handle) {
    return (int)((uintptr_t)handle - CUPS_HANDLE_BASE);
}

static DWORD CupsStartDoc(HANDLE handle, DWORD level, LPBYTE docInfo) {
    const DOC_INFO_1A *info = (const DOC_INFO_1A *)docInfo;
    unsigned int error = 0;
    if (level != 1 || info == NULL || CupsStarted[CupsSlot(handle)]) {
        SetHostError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (info->pDatatype != NULL && strcasecmp(info->pDatatype, "RAW") != 0) {
        SetHostError(ERROR_INVALID_DATATYPE);
        return 0;
    }
    DWORD job = CupsClientStart(CupsSlot(handle), info->pDocName ? info->pDocName : "", &error);
    if (job == 0)
        SetHostError(error);
    CupsStarted[CupsSlot(handle)] = job != 0;
    return job;
}

static BOOL CupsWrite(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD written) {
    unsigned int error = 0;
    if (written != NULL)
        *written = 0;
    if (!CupsStarted[CupsSlot(handle)]) {
        SetHostError(ERROR_SPL_NO_STARTDOC);
        return FALSE;
    }
    if (!CupsClientWrite(CupsSlot(handle), buffer, count, &error)) {
        SetHostError(error);
        return FALSE;
    }
    if (written != NULL)
        *written = count;
    return TRUE;
}

static BOOL CupsClosePrinter(HANDLE handle) {
    unsigned int error = 0;
    CupsStarted[CupsSlot(handle)] = false;
    if (!CupsClientClose(CupsSlot(handle), &error)) {
        SetHostError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL OpenPrinterA(LPSTR printerName, LPHANDLE handle, LPPRINTER_DEFAULTSA) {
    return UseCups() ? CupsOpenPrinter(printerName, handle)
                     : FolderOpenPrinter(printerName, handle);
}

DWORD StartDocPrinterA(HANDLE handle, DWORD level, LPBYTE docInfo) {
    return IsCupsHandle(handle) ? CupsStartDoc(handle, level, docInfo)
                                : FolderStartDoc(handle, level, docInfo);
}

BOOL WritePrinter(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD written) {
    return IsCupsHandle(handle) ? CupsWrite(handle, buffer, count, written)
                                : FolderWrite(handle, buffer, count, written);
}

BOOL ClosePrinter(HANDLE handle) {
    return IsCupsHandle(handle) ? CupsClosePrinter(handle) : FolderClosePrinter(handle);
}

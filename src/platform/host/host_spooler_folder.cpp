// Host layer: the folder spooler, a folder per printer (the default spooler of the host build).
//
// A printer is a directory <root>/printers/<name> made by the administrator (names match without
// regard to letter case). Each job streams into a hidden temporary file while it is written and
// becomes visible whole at ClosePrinter as job-<time>-<pid>-<n>.prn. The document's name and
// datatype travel with the file as extended attributes (user.ferrolink.document and
// user.ferrolink.datatype), which cost no extra file per job.

#include "win32.h"

#include "host_internal.h"
#include "host_spooler.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

enum { MAX_PRINTERS = 16, SPOOL_PATH_SIZE = 1024 };

struct Printer {
    bool inUse;
    int job; // descriptor of the job being written, -1 when none
    unsigned int jobId;
    char directory[SPOOL_PATH_SIZE];
    char jobFile[SPOOL_PATH_SIZE + 32]; // hidden while the job is written
};

static Printer Printers[MAX_PRINTERS];
static pthread_mutex_t PrintersLock = PTHREAD_MUTEX_INITIALIZER;
static unsigned int JobCounter;

// Returns this process's id, asked of the system once.
static int ProcessId(void) {
    static int id;
    if (id == 0)
        id = (int)getpid();
    return id;
}

// Finds the printer's directory, matching its name without regard to case.
static bool FindPrinterDirectory(const char *name, char *directory, size_t capacity) {
    char printers[SPOOL_PATH_SIZE];
    struct stat info;
    if (!HostPath(printers, sizeof printers, "printers"))
        return false;
    int exact = snprintf(directory, capacity, "%s/%s", printers, name);
    if (exact > 0 && (size_t)exact < capacity && stat(directory, &info) == 0 &&
        S_ISDIR(info.st_mode))
        return true; // the usual case: the name as the folder is spelled
    DIR *folder = opendir(printers);
    if (folder == NULL)
        return false;
    bool found = false;
    struct dirent *entry;
    while (!found && (entry = readdir(folder)) != NULL) {
        if (entry->d_name[0] == '.' || strcasecmp(entry->d_name, name) != 0)
            continue;
        int length = snprintf(directory, capacity, "%s/%s", printers, entry->d_name);
        found = length > 0 && (size_t)length < capacity && stat(directory, &info) == 0 &&
                S_ISDIR(info.st_mode);
    }
    closedir(folder);
    return found;
}

// Returns the printer of a handle, or NULL.
static Printer *PrinterOf(HANDLE handle) {
    uintptr_t index = (uintptr_t)handle;
    if (index == 0 || index > MAX_PRINTERS || !Printers[index - 1].inUse)
        return NULL;
    return &Printers[index - 1];
}

// Opens a printer by name: 1801 for one the spooler does not know.
BOOL FolderOpenPrinter(const char *printerName, LPHANDLE handle) {
    char directory[SPOOL_PATH_SIZE];
    if (strchr(printerName, '/') != NULL ||
        !FindPrinterDirectory(printerName, directory, sizeof directory)) {
        SetHostError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    pthread_mutex_lock(&PrintersLock);
    for (int i = 0; i < MAX_PRINTERS; i++) {
        if (Printers[i].inUse)
            continue;
        memset(&Printers[i], 0, sizeof Printers[i]);
        Printers[i].inUse = true;
        Printers[i].job = -1;
        snprintf(Printers[i].directory, sizeof Printers[i].directory, "%s", directory);
        pthread_mutex_unlock(&PrintersLock);
        *handle = (HANDLE)(uintptr_t)(i + 1);
        return TRUE;
    }
    pthread_mutex_unlock(&PrintersLock);
    SetHostError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

// Begins a raw job; returns the job's id, or 0 on failure.
DWORD FolderStartDoc(HANDLE handle, const char *title) {
    Printer *printer = PrinterOf(handle);
    if (printer == NULL || printer->job >= 0) {
        SetHostError(printer == NULL ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return 0;
    }
    pthread_mutex_lock(&PrintersLock);
    unsigned int jobId = ++JobCounter;
    pthread_mutex_unlock(&PrintersLock);
    char jobFile[SPOOL_PATH_SIZE + 32];
    snprintf(jobFile, sizeof jobFile, "%s/.job-%d-%u.tmp", printer->directory, ProcessId(), jobId);
    memcpy(printer->jobFile, jobFile, sizeof jobFile);
    printer->job = open(printer->jobFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (printer->job < 0) {
        SetHostError(ERROR_ACCESS_DENIED);
        return 0;
    }
    printer->jobId = jobId;
    // A file system without extended attributes still gets the job, only not its description.
    fsetxattr(printer->job, "user.ferrolink.document", title, strlen(title), 0);
    fsetxattr(printer->job, "user.ferrolink.datatype", "RAW", 3, 0);
    return jobId;
}

// Hands bytes to the job; *written tells how many reached it (fewer when the disk is full).
BOOL FolderWrite(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD written) {
    Printer *printer = PrinterOf(handle);
    DWORD total = 0;
    if (written != NULL)
        *written = 0;
    if (printer == NULL || printer->job < 0) {
        SetHostError(printer == NULL ? ERROR_INVALID_HANDLE : ERROR_SPL_NO_STARTDOC);
        return FALSE;
    }
    while (total < count) {
        ssize_t result = write(printer->job, (const char *)buffer + total, count - total);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            break;
        total += (DWORD)result;
    }
    if (written != NULL)
        *written = total;
    if (total < count) {
        SetHostError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

// Makes the finished job visible under its final name.
static void PublishJob(Printer *printer) {
    char name[SPOOL_PATH_SIZE + 64];
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long stamp = (unsigned long long)now.tv_sec * 1000000000ull + now.tv_nsec;
    snprintf(name, sizeof name, "%s/job-%020llu-%d-%u.prn", printer->directory, stamp, ProcessId(),
             printer->jobId);
    rename(printer->jobFile, name);
}

// Releases the handle; a job begun on it is complete afterwards.
BOOL FolderClosePrinter(HANDLE handle) {
    Printer *printer = PrinterOf(handle);
    if (printer == NULL) {
        SetHostError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (printer->job >= 0) {
        close(printer->job);
        PublishJob(printer);
    }
    pthread_mutex_lock(&PrintersLock);
    printer->inUse = false;
    pthread_mutex_unlock(&PrintersLock);
    return TRUE;
}

// Host layer: the folder spooler, a folder per printer (the default spooler of the host build).
//
// A printer is a directory <root>/printers/<name> made by the administrator (names match without
// regard to letter case). Each job streams into a hidden temporary file while it is written and
// becomes visible whole at ClosePrinter as job-<time>-<pid>-<n>.prn. The document's name and
// datatype travel with the file as extended attributes (user.ferrolink.document and
// user.ferrolink.datatype), which cost no extra file per job.
//
// A job whose connection broke off (a reset or a receive error) is no job on Linux: ClosePrinter
// deletes its file and succeeds, as for a connection that brought nothing. A job whose bytes did
// not all reach the file is deleted too, and the close fails. A job is published by its seal
// (linux/job/job.h): its bytes synced, its name given, its folder synced, each checked; only then
// does its client hear that it was delivered, and a seal that fails deletes the job and fails the
// close. In every other case the client hears a reset.
//
// A relay ended during a job leaves its hidden file (.job-<pid>-<n>.tmp) behind. The writer holds
// a lock on that file until it is published, so the first open of a printer in a process removes
// the hidden files of writers that are gone: their process no longer runs (or is this one, an
// earlier life of its id) and their lock is free.

#include "win32.h"

#include "host_internal.h"
#include "host_spooler.h"
#include "linux/job/job.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

enum { MAX_PRINTERS = 16, SPOOL_PATH_SIZE = 1024 };

struct Printer {
    bool inUse;
    bool incomplete; // a write did not reach the file whole
    int job;         // descriptor of the job being written, -1 when none
    unsigned int jobId;
    Job life; // the job's state and its client
    char directory[SPOOL_PATH_SIZE];
    char jobFile[SPOOL_PATH_SIZE + 32]; // hidden while the job is written
};

struct SweptFolder {
    dev_t device;
    ino_t inode;
};

static Printer Printers[MAX_PRINTERS];
static pthread_mutex_t PrintersLock = PTHREAD_MUTEX_INITIALIZER; // also orders sweeps and creations
static unsigned int JobCounter;
static SweptFolder Swept[MAX_PRINTERS]; // printer folders already swept by this process
static int SweptCount;

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

// Removes one hidden job file when its writer is gone; PrintersLock is held.
static void RemoveIfStale(int folder, const char *name) {
    int pid = 0, end = 0;
    unsigned int id = 0;
    if (sscanf(name, ".job-%d-%u.tmp%n", &pid, &id, &end) != 2 || end == 0 || name[end] != '\0' ||
        pid <= 0)
        return;
    if (pid != ProcessId() && (kill(pid, 0) == 0 || errno == EPERM))
        return; // its relay still runs
    int file = openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0)
        return;
    // A writer in another process namespace may look gone; its lock still tells.
    if (flock(file, LOCK_EX | LOCK_NB) == 0)
        unlinkat(folder, name, 0);
    close(file);
}

// Tells whether this process swept the folder already, counting it as swept from now on;
// PrintersLock is held.
static bool SweptBefore(const char *directory) {
    struct stat info;
    if (stat(directory, &info) != 0)
        return true;
    for (int i = 0; i < SweptCount; i++) {
        if (Swept[i].device == info.st_dev && Swept[i].inode == info.st_ino)
            return true;
    }
    if (SweptCount == MAX_PRINTERS)
        return true; // more folders than handles: the rest wait for the next start
    Swept[SweptCount].device = info.st_dev;
    Swept[SweptCount].inode = info.st_ino;
    SweptCount++;
    return false;
}

// Removes the hidden job files of ended writers, once per printer folder and process.
static void SweepOnce(const char *directory) {
    pthread_mutex_lock(&PrintersLock);
    DIR *folder = SweptBefore(directory) ? NULL : opendir(directory);
    if (folder != NULL) {
        struct dirent *entry;
        while ((entry = readdir(folder)) != NULL)
            RemoveIfStale(dirfd(folder), entry->d_name);
        closedir(folder);
    }
    pthread_mutex_unlock(&PrintersLock);
}

// Tells whether a name can only be a folder of its own under printers: no '/', not "." or "..".
static bool IsPrinterFolderName(const char *name) {
    return strchr(name, '/') == NULL && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
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
    if (!IsPrinterFolderName(printerName) ||
        !FindPrinterDirectory(printerName, directory, sizeof directory)) {
        SetHostError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    SweepOnce(directory);
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
    char jobFile[SPOOL_PATH_SIZE + 32];
    // Created and locked in one step under the lock, so a sweep never takes it for a stale one.
    pthread_mutex_lock(&PrintersLock);
    unsigned int jobId = ++JobCounter;
    snprintf(jobFile, sizeof jobFile, "%s/.job-%d-%u.tmp", printer->directory, ProcessId(), jobId);
    memcpy(printer->jobFile, jobFile, sizeof jobFile);
    printer->job = open(printer->jobFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (printer->job >= 0)
        flock(printer->job, LOCK_EX);
    pthread_mutex_unlock(&PrintersLock);
    if (printer->job < 0) {
        SetHostError(ERROR_ACCESS_DENIED);
        return 0;
    }
    printer->jobId = jobId;
    JobBegin(&printer->life, true);
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
    printer->incomplete = printer->incomplete || total < count;
    if (total < count) {
        SetHostError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

// Makes the finished job visible, whole on disk, under its final name, and tells its client; false
// when it is not published (nothing of it is left then).
static bool PublishJob(Printer *printer) {
    char name[SPOOL_PATH_SIZE + 64];
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long stamp = (unsigned long long)now.tv_sec * 1000000000ull + now.tv_nsec;
    snprintf(name, sizeof name, "%s/job-%020llu-%d-%u.prn", printer->directory, stamp, ProcessId(),
             printer->jobId);
    JobCopy copy = {printer->job, printer->jobFile, name};
    if (JobSeal(&printer->life, &copy))
        return true;
    unlink(name); // renamed but its folder not synced: not published after all
    return false;
}

// Releases the handle; a job begun on it is complete afterwards, or deleted when it is not whole.
BOOL FolderClosePrinter(HANDLE handle) {
    Printer *printer = PrinterOf(handle);
    if (printer == NULL) {
        SetHostError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool failed = false;
    if (printer->job >= 0) {
        bool whole = !printer->incomplete && !JobBrokeOff(&printer->life);
        // Renamed while still locked: a sweep never meets it unlocked.
        bool published = whole && PublishJob(printer);
        if (!published) {
            unlink(printer->jobFile);
            JobFail(&printer->life);
        }
        failed = printer->incomplete || (whole && !published);
        close(printer->job);
    }
    pthread_mutex_lock(&PrintersLock);
    printer->inUse = false;
    pthread_mutex_unlock(&PrintersLock);
    if (failed) {
        SetHostError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

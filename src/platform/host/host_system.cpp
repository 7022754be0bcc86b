// Host layer: last-error numbers, the program's path, the console, locks, Sleep and the C
// run-time's Windows extensions (_stricmp, and _fsopen with sharing modes over flock and text mode,
// which on Linux keeps line feeds as they are and copies the log to the journal under systemd).

#include "win32.h"

#include "host_internal.h"
#include "linux/systemd/systemd_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static thread_local DWORD LastError;
static thread_local unsigned long DosError;

// Records the layer's failure number as the calling thread's last error.
void SetHostError(unsigned int error) {
    LastError = error;
}

// Seconds on a clock that only moves forward.
time_t HostSeconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// Hands the relay's failure code on as the exit status, as systemd expects of a failed service.
int HostExitStatus(DWORD failureCode) {
    return (int)failureCode;
}

// Gives the calling thread's last error, as the layer's calls left it.
DWORD GetLastError(void) {
    return LastError;
}

// The C run-time's system error number of the calling thread (_doserrno).
unsigned long *HostDosErrno(void) {
    return &DosError;
}

// Waits for the given number of milliseconds.
void Sleep(DWORD milliseconds) {
    struct timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// Sets the calling thread's last error, as a caller does to clear it before a call it checks.
void SetLastError(DWORD error) {
    LastError = error;
}

// Reports the running program's full path; cut and terminated when the buffer is too small.
DWORD GetModuleFileNameA(HMODULE, LPSTR fileName, DWORD size) {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0 || size == 0) {
        SetHostError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if ((DWORD)length >= size) {
        memcpy(fileName, path, size - 1);
        fileName[size - 1] = '\0';
        SetHostError(122); // ERROR_INSUFFICIENT_BUFFER
        return size;
    }
    memcpy(fileName, path, (size_t)length);
    fileName[length] = '\0';
    return (DWORD)length;
}

// Gives the host's name up to its first dot, as the DNS host name (gethostname's first label);
// the needed size, with 111, when it does not fit.
BOOL GetComputerNameExA(COMPUTER_NAME_FORMAT, LPSTR buffer, LPDWORD size) {
    char name[256];
    if (size == NULL || gethostname(name, sizeof name) != 0) {
        SetHostError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    name[sizeof name - 1] = '\0';
    name[strcspn(name, ".")] = '\0';
    DWORD length = (DWORD)strlen(name);
    if (buffer == NULL || length + 1 > *size) {
        *size = length + 1;
        SetHostError(111); // ERROR_BUFFER_OVERFLOW
        return FALSE;
    }
    memcpy(buffer, name, length + 1);
    *size = length;
    return TRUE;
}

// Detaches from the terminal: the standard streams go to /dev/null and a hang-up is ignored.
BOOL FreeConsole(void) {
    int null = open("/dev/null", O_RDWR);
    if (null < 0)
        return FALSE;
    fflush(stdout);
    fflush(stderr);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2)
        close(null);
    signal(SIGHUP, SIG_IGN);
    return TRUE;
}

// Takes a lock held for short moments only.
void AcquireSRWLockExclusive(PSRWLOCK lock) {
    void *expected = NULL;
    while (!__atomic_compare_exchange_n(&lock->Ptr, &expected, (void *)1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
        expected = NULL;
        sched_yield();
    }
}

// Lets the next waiter take the lock; what was written under it is visible to them.
void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    __atomic_store_n(&lock->Ptr, (void *)NULL, __ATOMIC_RELEASE);
}

// Compares ignoring ASCII letter case.
int _stricmp(const char *left, const char *right) {
    for (;; left++, right++) {
        int a = (unsigned char)*left;
        int b = (unsigned char)*right;
        if (a >= 'A' && a <= 'Z')
            a += 'a' - 'A';
        if (b >= 'A' && b <= 'Z')
            b += 'a' - 'A';
        if (a != b || a == 0)
            return a - b;
    }
}

// The length of the unsafe UTF-8 character at text: C0, DEL, C1, U+2028, U+2029 and the bidi
// controls U+202A-U+202E and U+2066-U+2069; 0 for any other.
static size_t UnsafeLength(const unsigned char *c) {
    if (c[0] < 0x20 || c[0] == 0x7F)
        return 1;
    if (c[0] == 0xC2 && c[1] >= 0x80 && c[1] <= 0x9F)
        return 2;
    if (c[0] != 0xE2 || c[1] == 0)
        return 0;
    bool separatorOrEmbedding = c[1] == 0x80 && c[2] >= 0xA8 && c[2] <= 0xAE;
    bool isolate = c[1] == 0x81 && c[2] >= 0xA6 && c[2] <= 0xA9;
    return separatorOrEmbedding || isolate ? 3 : 0;
}

// Replaces each unsafe character with '?', in place: a line written to the journal or the notify
// socket stays one line, and reads in the order it was written.
void MakeLineSafe(char *text) {
    unsigned char *from = (unsigned char *)text;
    unsigned char *to = from;
    while (*from != 0) {
        size_t unsafe = UnsafeLength(from);
        *to++ = unsafe != 0 ? '?' : *from;
        from += unsafe > 1 ? unsafe : 1;
    }
    *to = 0;
}

// Formats a line and makes it safe: queue names, reasons and addresses in it come from outside.
void FormatSafeLine(char *line, size_t capacity, const char *format, va_list arguments) {
    vsnprintf(line, capacity, format, arguments);
    MakeLineSafe(line);
}

// Writes a text-mode stream's bytes unchanged: Linux ends lines with a line feed alone. Text mode
// is how the program writes its log, so under systemd the same bytes also go to standard error
// and each log line lands in the unit's journal too, first, so that a line the file cannot take
// (a full or read-only folder) is still in the journal.
static ssize_t WriteText(void *cookie, const char *data, size_t size) {
    // The file is the record: a copy the journal did not take is not an error.
    if (JournalCopyWanted())
        WriteAllBytes(STDERR_FILENO, data, size);
    int fd = (int)(intptr_t)cookie;
    if (fd < 0 || !WriteAllBytes(fd, data, size))
        return -1;
    return (ssize_t)size;
}

// Reads a stream's file as it is: Linux keeps no carriage returns to strip.
static ssize_t ReadRaw(void *cookie, char *data, size_t size) {
    return read((int)(intptr_t)cookie, data, size);
}

// Closes the file under a stream when the stream is closed, giving up its lock.
static int CloseRaw(void *cookie) {
    int fd = (int)(intptr_t)cookie;
    return fd < 0 ? 0 : close(fd);
}

// Turns an fopen mode into open flags.
static int OpenFlags(const char *mode) {
    bool update = strchr(mode, '+') != NULL;
    switch (mode[0]) {
    case 'r':
        return update ? O_RDWR : O_RDONLY;
    case 'w':
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
        return -1;
    }
}

// The flock that stands for a sharing mode: a writer that lets others read excludes other
// writers (and readers that lock the file to keep it still), as on Windows; readers that take no
// lock, as viewers and log shippers, are never in the way. _SH_DENYNO takes no lock at all.
static int LockFor(int flags, int shareFlag) {
    if (shareFlag == _SH_DENYNO)
        return 0;
    bool writes = (flags & O_ACCMODE) != O_RDONLY;
    return shareFlag == _SH_DENYRW || writes ? LOCK_EX : LOCK_SH;
}

// Makes a text-mode stream over a descriptor; -1 gives one whose lines reach only the journal.
static FILE *TextStream(int fd, const char *mode) {
    cookie_io_functions_t text = {ReadRaw, WriteText, NULL, CloseRaw};
    FILE *stream = fopencookie((void *)(intptr_t)fd, mode, text);
    if (stream == NULL && fd >= 0)
        close(fd);
    return stream;
}

// Opens a file with a sharing mode: while another holder's lock is in the way it fails at once
// with EACCES and _doserrno ERROR_SHARING_VIOLATION, so the caller decides how long to retry.
// A text-mode file that cannot be opened for appending under systemd still gives a stream, whose
// lines go to the journal alone: the journal must not lose what the log file cannot take.
FILE *_fsopen(const char *fileName, const char *mode, int shareFlag) {
    int flags = OpenFlags(mode);
    if (flags < 0) {
        errno = EINVAL;
        return NULL;
    }
    bool textMode = strchr(mode, 'b') == NULL;
    // Emptied only once the lock is held: the file of a holder that refuses is left as it is.
    int fd = open(fileName, (flags & ~O_TRUNC) | O_CLOEXEC, 0644);
    if (fd < 0) {
        DosError = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        if (textMode && mode[0] == 'a' && JournalCopyWanted())
            return TextStream(-1, mode);
        return NULL;
    }
    int lock = LockFor(flags, shareFlag);
    if (lock != 0 && flock(fd, lock | LOCK_NB) != 0) {
        close(fd);
        DosError = ERROR_SHARING_VIOLATION;
        errno = EACCES;
        return NULL;
    }
    if ((flags & O_TRUNC) != 0 && ftruncate(fd, 0) != 0) {
        close(fd);
        DosError = ERROR_ACCESS_DENIED;
        return NULL;
    }
    if (!textMode)
        return fdopen(fd, mode);
    return TextStream(fd, mode);
}

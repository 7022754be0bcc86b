// Host layer: the registry as a small file store.
//
// A key is a directory under <root>/registry/HKLM, one directory per path component; a value is
// a file "@<name>" in its key's directory holding the 4-byte little-endian type and then the
// value's exact bytes (a string stored without its NUL reads back without one). Key and value
// names are case-insensitive, as on Windows: they are stored in lower case.

#include "win32.h"

#include "host_internal.h"

#include <ctype.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { MAX_OPEN_KEYS = 64, MAX_VALUE_SIZE = 1 << 20, KEY_PATH_SIZE = 2048 };

static char OpenKeys[MAX_OPEN_KEYS][KEY_PATH_SIZE];
static pthread_mutex_t KeysLock = PTHREAD_MUTEX_INITIALIZER;

// Appends one name in lower case, escaping the characters a file name cannot hold.
static bool AppendName(char *path, size_t capacity, const char *name, size_t length) {
    size_t used = strlen(path);
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)name[i];
        char piece[4];
        if (c == '/' || c == '%' || c < 0x20 || (c == '.' && i == 0))
            snprintf(piece, sizeof piece, "%%%02X", c);
        else
            snprintf(piece, sizeof piece, "%c", tolower(c));
        size_t pieceLength = strlen(piece);
        if (used + pieceLength + 1 >= capacity)
            return false;
        memcpy(path + used, piece, pieceLength + 1);
        used += pieceLength;
    }
    return true;
}

// Turns a root key and a backslash-separated sub key into a directory path.
static bool KeyDirectory(HKEY root, const char *subKey, char *path, size_t capacity) {
    if (root == HKEY_LOCAL_MACHINE) {
        if (!HostPath(path, capacity, "registry/HKLM"))
            return false;
    } else {
        uintptr_t index = (uintptr_t)root;
        if (index == 0 || index > MAX_OPEN_KEYS || OpenKeys[index - 1][0] == '\0')
            return false;
        snprintf(path, capacity, "%s", OpenKeys[index - 1]);
    }
    const char *component = subKey != NULL ? subKey : "";
    while (*component != '\0') {
        size_t length = strcspn(component, "\\");
        if (length > 0) {
            if (strlen(path) + 2 >= capacity)
                return false;
            strcat(path, "/");
            if (!AppendName(path, capacity, component, length))
                return false;
        }
        component += length;
        if (*component == '\\')
            component++;
    }
    return true;
}

// Hands out a key handle for an existing directory.
static LSTATUS OpenHandle(const char *directory, PHKEY result) {
    pthread_mutex_lock(&KeysLock);
    for (int i = 0; i < MAX_OPEN_KEYS; i++) {
        if (OpenKeys[i][0] == '\0') {
            snprintf(OpenKeys[i], KEY_PATH_SIZE, "%s", directory);
            pthread_mutex_unlock(&KeysLock);
            *result = (HKEY)(uintptr_t)(i + 1);
            return ERROR_SUCCESS;
        }
    }
    pthread_mutex_unlock(&KeysLock);
    return ERROR_NOT_ENOUGH_MEMORY;
}

// Finds the directory of an open key; NULL for a handle that is not open.
static const char *HandleDirectory(HKEY key) {
    uintptr_t index = (uintptr_t)key;
    if (index == 0 || index > MAX_OPEN_KEYS || OpenKeys[index - 1][0] == '\0')
        return NULL;
    return OpenKeys[index - 1];
}

// Builds the file path of a value of an open key.
static bool ValueFile(HKEY key, LPCSTR valueName, char *path, size_t capacity) {
    const char *directory = HandleDirectory(key);
    if (directory == NULL)
        return false;
    snprintf(path, capacity, "%s/@", directory);
    const char *name = valueName != NULL ? valueName : "";
    return AppendName(path, capacity, name, strlen(name));
}

// Creates or opens a key and its missing parents.
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM, void *, PHKEY result,
                        LPDWORD disposition) {
    char directory[KEY_PATH_SIZE];
    if (result == NULL || !KeyDirectory(key, subKey, directory, sizeof directory))
        return ERROR_INVALID_PARAMETER;
    struct stat info;
    bool existed = stat(directory, &info) == 0 && S_ISDIR(info.st_mode);
    if (!existed && !MakeDirectories(directory))
        return ERROR_ACCESS_DENIED;
    if (disposition != NULL)
        *disposition = existed ? 2 : 1; // REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY
    return OpenHandle(directory, result);
}

// Opens an existing key.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
    char directory[KEY_PATH_SIZE];
    struct stat info;
    if (result == NULL || !KeyDirectory(key, subKey, directory, sizeof directory))
        return ERROR_INVALID_PARAMETER;
    if (stat(directory, &info) != 0 || !S_ISDIR(info.st_mode))
        return ERROR_FILE_NOT_FOUND;
    return OpenHandle(directory, result);
}

// Stores a value with its type and exact bytes, replacing any earlier one at once.
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE *data,
                       DWORD size) {
    char path[KEY_PATH_SIZE];
    char temporary[KEY_PATH_SIZE + 16];
    if (!ValueFile(key, valueName, path, sizeof path) || size > MAX_VALUE_SIZE ||
        (data == NULL && size > 0))
        return ERROR_INVALID_PARAMETER;
    snprintf(temporary, sizeof temporary, "%s.%d.tmp", path, (int)getpid());
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return ERROR_ACCESS_DENIED;
    BYTE header[4] = {(BYTE)type, (BYTE)(type >> 8), (BYTE)(type >> 16), (BYTE)(type >> 24)};
    bool written = WriteAllBytes(fd, header, sizeof header) && WriteAllBytes(fd, data, size);
    if (close(fd) != 0 || !written || rename(temporary, path) != 0) {
        unlink(temporary);
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

// Reads up to size bytes; returns the count read or -1.
static ssize_t ReadAll(int fd, void *buffer, size_t size) {
    size_t total = 0;
    while (total < size) {
        ssize_t got = read(fd, (char *)buffer + total, size - total);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += (size_t)got;
    }
    return (ssize_t)total;
}

// Reads a value: its type, and its bytes when the buffer is large enough (else 234, buffer
// untouched and the needed size returned).
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                         LPDWORD size) {
    char path[KEY_PATH_SIZE];
    struct stat info;
    if (!ValueFile(key, valueName, path, sizeof path))
        return ERROR_INVALID_HANDLE;
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return ERROR_FILE_NOT_FOUND;
    BYTE header[4];
    if (fstat(fd, &info) != 0 || info.st_size < 4 || info.st_size - 4 > MAX_VALUE_SIZE ||
        ReadAll(fd, header, 4) != 4) {
        close(fd);
        return ERROR_FILE_NOT_FOUND;
    }
    DWORD valueSize = (DWORD)(info.st_size - 4);
    if (type != NULL)
        *type = header[0] | header[1] << 8 | header[2] << 16 | (DWORD)header[3] << 24;
    LSTATUS status = ERROR_SUCCESS;
    if (data != NULL) {
        if (size == NULL || *size < valueSize)
            status = ERROR_MORE_DATA;
        else if (ReadAll(fd, data, valueSize) != (ssize_t)valueSize)
            status = ERROR_FILE_NOT_FOUND;
    }
    if (size != NULL)
        *size = valueSize;
    close(fd);
    return status;
}

// Releases a key handle.
LSTATUS RegCloseKey(HKEY key) {
    uintptr_t index = (uintptr_t)key;
    if (index == 0 || index > MAX_OPEN_KEYS)
        return ERROR_INVALID_HANDLE;
    pthread_mutex_lock(&KeysLock);
    OpenKeys[index - 1][0] = '\0';
    pthread_mutex_unlock(&KeysLock);
    return ERROR_SUCCESS;
}

// Host layer: where the layer keeps its files.
//
// Everything the layer stores (registry keys and values, printers and their jobs) lives under one
// root, much like a Wine prefix: $FERROLINK_ROOT when set, else $HOME/.ferrolink, else
// /tmp/ferrolink. The system's own code never reads this setting. A root longer than 511 bytes
// ends the process at its start with a message on standard error: cut, it would name a folder
// that was never chosen.

#include "host_internal.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { ROOT_SIZE = 512 }; // the root and its NUL; the layer's paths are sized for this

// Formats the root into a buffer of ROOT_SIZE bytes; false when it does not fit whole.
static bool FormatRoot(char *buffer) {
    const char *configured = getenv("FERROLINK_ROOT");
    const char *home = getenv("HOME");
    int length;
    if (configured != NULL && configured[0] != '\0')
        length = snprintf(buffer, ROOT_SIZE, "%s", configured);
    else if (home != NULL && home[0] != '\0')
        length = snprintf(buffer, ROOT_SIZE, "%s/.ferrolink", home);
    else
        length = snprintf(buffer, ROOT_SIZE, "/tmp/ferrolink");
    return length > 0 && length < ROOT_SIZE;
}

// Ends the process on a root that does not fit: a cut root would be a folder never named.
static void RefuseRoot(void) {
    fprintf(stderr, "Error: FERROLINK_ROOT (else $HOME/.ferrolink) must be shorter than %d bytes\n",
            ROOT_SIZE);
    exit(1);
}

// Checks the root at the process's start, before anything is stored under it.
__attribute__((constructor)) static void CheckRootAtStart(void) {
    char root[ROOT_SIZE];
    if (!FormatRoot(root))
        RefuseRoot();
}

// Returns the root directory of the layer's files, decided at its first use.
static const char *HostRoot(void) {
    static char root[ROOT_SIZE];
    if (root[0] == '\0' && !FormatRoot(root))
        RefuseRoot();
    return root;
}

// Builds a path under the root.
bool HostPath(char *buffer, size_t capacity, const char *relative) {
    int length = snprintf(buffer, capacity, "%s/%s", HostRoot(), relative);
    return length > 0 && (size_t)length < capacity;
}

// Creates a directory and its missing parents.
bool MakeDirectories(const char *path) {
    char partial[4096];
    size_t length = strlen(path);
    if (length >= sizeof partial)
        return false;
    memcpy(partial, path, length + 1);
    for (size_t i = 1; i <= length; i++) {
        if (partial[i] != '/' && partial[i] != '\0')
            continue;
        char saved = partial[i];
        partial[i] = '\0';
        if (mkdir(partial, 0755) != 0 && errno != EEXIST)
            return false;
        partial[i] = saved;
    }
    return true;
}

// Writes every byte to a descriptor.
bool WriteAllBytes(int fd, const void *data, size_t size) {
    const char *bytes = (const char *)data;
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written <= 0)
            return false;
        bytes += written;
        size -= (size_t)written;
    }
    return true;
}

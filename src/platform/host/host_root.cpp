// Host layer: where the layer keeps its files.
//
// Everything the layer stores (registry keys and values, printers and their jobs) lives under one
// root, much like a Wine prefix: $FERROLINK_ROOT when set, else $HOME/.ferrolink, else
// /tmp/ferrolink. The system's own code never reads this setting.

#include "host_internal.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Returns the root directory of the layer's files.
static const char *HostRoot(void) {
    static char root[512];
    if (root[0] == '\0') {
        const char *configured = getenv("FERROLINK_ROOT");
        const char *home = getenv("HOME");
        if (configured != NULL && configured[0] != '\0')
            snprintf(root, sizeof root, "%s", configured);
        else if (home != NULL && home[0] != '\0')
            snprintf(root, sizeof root, "%s/.ferrolink", home);
        else
            snprintf(root, sizeof root, "/tmp/ferrolink");
    }
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

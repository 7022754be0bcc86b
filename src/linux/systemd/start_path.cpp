// The conf's path: which file is read, and who could change it. The path is resolved once, each
// folder of the resolved path from / down is checked to be root's and closed to group and others,
// and the file is then opened by that path without following links: past the check only root can
// change what is read. This runs as root outside the unit's sandbox, so an owner is named as the
// system knows it (not the 65534 of a private user namespace) and a file under /home is seen.

#include "start_conf.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Says why a path root does not alone control, and how to mend it.
static void NotRootsOnly(const char *path, const struct stat *info, const char *conf, char *reason,
                         size_t capacity) {
    snprintf(reason, capacity,
             "%s may be written by others than root (owner %u, mode %o), and the relay takes its "
             "settings from %s: chown root %s and chmod go-w %s",
             path, (unsigned)info->st_uid, (unsigned)(info->st_mode & 07777), conf, path, path);
}

// Checks that root alone owns and may write info's file or folder.
static bool RootsOnly(const struct stat *info) {
    return info->st_uid == 0 && (info->st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Checks each folder of an absolute, resolved path, from / to the file's own folder.
static bool FoldersAreRoots(char *resolved, const char *conf, char *reason, size_t capacity) {
    size_t length = strlen(resolved);
    for (size_t at = 0; at < length; at++) {
        if (resolved[at] != '/')
            continue;
        char saved = resolved[at + 1];
        resolved[at + 1] = '\0';
        if (at > 0)
            resolved[at] = '\0'; // the folder itself, not "folder/"
        struct stat info;
        bool seen = lstat(resolved, &info) == 0 && S_ISDIR(info.st_mode);
        bool good = seen && RootsOnly(&info);
        if (seen && !good)
            NotRootsOnly(resolved, &info, conf, reason, capacity);
        else if (!seen)
            snprintf(reason, capacity, "cannot check the folder %s of %s", resolved, conf);
        resolved[at] = '/';
        resolved[at + 1] = saved;
        if (!good)
            return false;
    }
    return true;
}

// Opens the conf once its resolved path is checked, and checks the file it opened.
int OpenCheckedConf(const char *conf, bool *missing, char *reason, size_t capacity) {
    char resolved[PATH_MAX];
    *missing = false;
    if (realpath(conf, resolved) == NULL) {
        *missing = errno == ENOENT || errno == ENOTDIR;
        snprintf(reason, capacity, "cannot resolve the path of %s (%s)", conf, strerror(errno));
        return -1;
    }
    if (!FoldersAreRoots(resolved, conf, reason, capacity))
        return -1;
    int fd = open(resolved, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        snprintf(reason, capacity, "cannot open %s, the file of %s, as a plain file", resolved,
                 conf);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (!RootsOnly(&info)) {
        NotRootsOnly(resolved, &info, conf, reason, capacity);
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the end of the file, keeping room for a NUL; -1 when it is too large or unread.
long ReadWholeFile(int fd, char *buffer, size_t capacity) {
    size_t total = 0;
    for (;;) {
        ssize_t got = read(fd, buffer + total, capacity - 1 - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += (size_t)got;
        if (total == capacity - 1)
            return -1;
    }
    buffer[total] = '\0';
    return (long)total;
}

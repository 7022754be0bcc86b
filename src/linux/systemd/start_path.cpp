// The conf's path: which file is read, and who could change it. The path is resolved one name at
// a time, and each folder the walk passes through from / down, those that hold a link on the way
// included, is checked to be root's and closed to group and others; the file is then opened by
// the resolved path without following links: past the check only root can change what is read. This
// runs as root outside the unit's sandbox, so an owner is named as the system knows it (not the
// 65534 of a private user namespace) and a file under /home is seen.

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

// Checks a folder the walk passes through: root's, closed to group and others.
static bool FolderIsRoots(const char *folder, const char *conf, char *reason, size_t capacity) {
    struct stat info;
    if (lstat(folder, &info) != 0 || !S_ISDIR(info.st_mode)) {
        snprintf(reason, capacity, "cannot check the folder %s of %s", folder, conf);
        return false;
    }
    if (RootsOnly(&info))
        return true;
    NotRootsOnly(folder, &info, conf, reason, capacity);
    return false;
}

// Takes the next name off the front of rest into name; false when rest holds no more.
static bool NextName(char *rest, char *name, size_t capacity) {
    char *from = rest + strspn(rest, "/");
    size_t length = strcspn(from, "/");
    if (length == 0 || length >= capacity)
        return false;
    memcpy(name, from, length);
    name[length] = '\0';
    memmove(rest, from + length, strlen(from + length) + 1);
    return true;
}

// Puts a link's target in front of what is left to walk; an absolute one starts again at /.
static bool FollowLink(const char *link, char *resolved, char *rest) {
    char target[PATH_MAX], joined[PATH_MAX];
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    if (snprintf(joined, sizeof joined, "%s/%s", target, rest) >= (int)sizeof joined) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(rest, joined, sizeof joined);
    if (target[0] == '/')
        strcpy(resolved, "/");
    return true;
}

// Resolves conf one name at a time, following its links, and checks every folder the walk
// passes through, those that hold a link included: a link in a folder others may write could be
// pointed at another file at any moment, even one of root's, such as another instance's conf.
static bool ResolveChecked(const char *conf, char *resolved, bool *missing, char *reason,
                           size_t capacity) {
    char rest[PATH_MAX], name[NAME_MAX + 1], next[PATH_MAX];
    snprintf(rest, sizeof rest, "%s", conf);
    strcpy(resolved, "/");
    int links = 0;
    while (NextName(rest, name, sizeof name)) {
        if (!FolderIsRoots(resolved, conf, reason, capacity))
            return false;
        if (strcmp(name, ".") == 0)
            continue;
        char *slash = strrchr(resolved, '/');
        if (strcmp(name, "..") == 0) {
            slash[slash == resolved ? 1 : 0] = '\0';
            continue;
        }
        snprintf(next, sizeof next, "%s%s%s", resolved, slash[1] == '\0' ? "" : "/", name);
        struct stat info;
        bool walked = lstat(next, &info) == 0;
        if (walked && S_ISLNK(info.st_mode)) {
            errno = ELOOP;
            walked = ++links <= 40 && FollowLink(next, resolved, rest);
        } else if (walked)
            memcpy(resolved, next, sizeof next);
        if (!walked) {
            *missing = errno == ENOENT || errno == ENOTDIR;
            snprintf(reason, capacity, "cannot resolve the path of %s (%s)", conf, strerror(errno));
            return false;
        }
    }
    return true;
}

// Opens the conf once its resolved path is checked, and checks the file it opened.
int OpenCheckedConf(const char *conf, bool *missing, char *reason, size_t capacity) {
    char resolved[PATH_MAX];
    *missing = false;
    if (conf[0] != '/' || !ResolveChecked(conf, resolved, missing, reason, capacity))
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

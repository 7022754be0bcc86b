// The conf of one systemd instance, /etc/ferrolink/<port>.conf: the names it may hold, how its
// lines read, and the checks that let only root choose what it says. ferrolink-start is its one
// reader: as root, before the unit's sandbox, it checks the file's path and reads it, then hands
// the settings it took to the relay's start through a file of root's in /run/ferrolink.
#pragma once

#include <stddef.h>

// The names a conf may set, as the relay's environment takes them.
enum ConfName {
    CONF_PRINTER,
    CONF_ADVERTISE,
    CONF_DNSSD_NAME,
    CONF_CUPS_SERVER,
    CONF_CUPS_USER,
    CONF_FERROLINK_SPOOLER,
    CONF_FERROLINK_ROOT,
    CONF_IDLE_TIMEOUT, // seconds a client may stay silent; 0 never resets it
    // Taken for the confs written for 1.2's environment file; ADVERTISE, DNSSD_NAME and systemd's
    // own stream decide these, so a value here changes nothing, as it changed nothing then.
    CONF_FERROLINK_ADVERTISE,
    CONF_FERROLINK_DNSSD_NAME,
    CONF_JOURNAL_STREAM,
    // The hand-off's name for IDLE_TIMEOUT, which IDLE_TIMEOUT decides in a conf.
    CONF_FERROLINK_IDLE_TIMEOUT,
    CONF_NAME_COUNT
};

enum {
    CONF_VALUE_SIZE = 512,      // a value and its NUL
    CONF_FILE_SIZE = 64 * 1024, // larger is no conf of ours
    CONF_REASON_SIZE = 1024,
};

// The settings of one conf: each name once, the last line that set it counts.
struct ConfSettings {
    bool present[CONF_NAME_COUNT];
    char value[CONF_NAME_COUNT][CONF_VALUE_SIZE];
};

// The name of a setting, as written in the conf.
const char *ConfNameText(ConfName name);

// Writes one line to standard error (the unit's journal).
void SayLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Reads the text of a conf into settings. A line systemd's environment files allowed stays
// allowed: blank lines, comments (# or ; first), NAME=value with blanks around the name and the
// value, a value in double or single quotes, a backslash that keeps the next character. A value
// that is not UTF-8 for an advertising name is dropped with a line saying so (prefix, file, line,
// reason), and the instance serves on; anything else that is not such a line fails, with
// "<file> line <n>: <reason>" in reason. raw reads the hand-off's own lines: NAME=value exactly.
bool ReadConfText(const char *text, size_t length, const char *file, const char *prefix, bool raw,
                  ConfSettings *settings, char *reason, size_t capacity);

// True for bytes that are UTF-8 throughout (no overlong form, surrogate or code above U+10FFFF).
bool IsUtf8(const char *text, size_t length);

// Opens the conf for reading after checking the path it resolves to: every folder from / and the
// file must be root's and not writable by group or others, so no one else can change what is
// read or swap it. -1 with the reason (naming the real path and owner) when it must not be read;
// missing tells a file that is not there.
int OpenCheckedConf(const char *conf, bool *missing, char *reason, size_t capacity);

// Reads a whole file of at most CONF_FILE_SIZE - 1 bytes into buffer; -1 when it cannot.
long ReadWholeFile(int fd, char *buffer, size_t capacity);

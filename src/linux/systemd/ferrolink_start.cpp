// ferrolink-start: starts the relay of the systemd instance ferrolink@<port>, or refuses, with the
// reason on standard error (the journal and systemctl status) and exit status 6 (systemd:
// NOTCONFIGURED), an instance that cannot serve: a name that is not a port number from 1 to 65535
// written without sign or leading zero, a missing /etc/ferrolink/<port>.conf, one that others
// than root could change (the file, a folder on its path, links resolved), a line it does not
// know, or an empty or unset PRINTER.
//
// The conf is read once per start, as root, before the unit's sandbox (ExecStartPre=+): what is
// checked is what is read, with the owners and paths the system knows. The settings it took go
// to /run/ferrolink/<port>.conf, a file of root's that the sandboxed start (ExecStart) reads back
// and hands to the relay: the queue as its argument, the rest as its environment. A refusal found
// there is said by the start, so that systemd sees the relay's own status 6 and neither restarts
// it nor leaves its port open.
//   ferrolink-start --read-conf <port>     (ExecStartPre=+ of ferrolink@.service)
//   ferrolink-start <port>                 (ExecStart of ferrolink@.service)
//   ferrolink-start --check-name <port>    (ExecStartPre of ferrolink@.socket)
//   ferrolink-start --after-exit <port>    (ExecStopPost of ferrolink@.service, as root)

#include "start_conf.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { EXIT_NOT_CONFIGURED = 6, PATH_SIZE = 128 };

static const char HandOffFolder[] = "/run/ferrolink";
static const char RelayProgram[] = "/usr/bin/ferrolink";
static char Prefix[32]; // "ferrolink@<port>: "

// True for a port number from 1 to 65535 written without sign or leading zero.
static bool IsPortName(const char *name) {
    size_t length = strlen(name);
    if (length == 0 || length > 5 || name[0] == '0' || strspn(name, "0123456789") != length)
        return false;
    return atol(name) <= 65535;
}

// Says why the instance cannot serve, and ends with status 6.
[[noreturn]] static void Refuse(const char *reason) {
    SayLine("%s%s", Prefix, reason);
    exit(EXIT_NOT_CONFIGURED);
}

// Checks the instance name, refusing one that is not a port.
static void CheckName(const char *port) {
    snprintf(Prefix, sizeof Prefix, "ferrolink@%.8s: ", port);
    if (!IsPortName(port))
        Refuse("the instance name must be a port number from 1 to 65535, without sign or leading "
               "zero");
}

// A relay that cannot serve, and is not started again (refused here, its port not bound, or its
// hold folder untrue), also closes its port: clients are then refused, as by a printer that is
// off, and send again later, instead of handing their jobs to a socket that no relay will ever
// take them from. systemd starts the socket again with the next start of the relay.
static int AfterExit(const char *port) {
    const char *result = getenv("SERVICE_RESULT");
    const char *status = getenv("EXIT_STATUS");
    if (result == NULL || strcmp(result, "exit-code") != 0 || status == NULL ||
        (strcmp(status, "4") != 0 && strcmp(status, "6") != 0 && strcmp(status, "8") != 0))
        return 0;
    char socket[PATH_SIZE];
    snprintf(socket, sizeof socket, "ferrolink@%s.socket", port);
    execlp("systemctl", "systemctl", "--no-block", "stop", socket, (char *)NULL);
    return 0;
}

// Appends NAME=value to the hand-off text.
static void AddSetting(char *text, size_t capacity, const char *name, const char *value) {
    size_t used = strlen(text);
    snprintf(text + used, capacity - used, "%s=%s\n", name, value);
}

// Checks IDLE_TIMEOUT (seconds, 1 to 7 digits; 300 when not set) into *seconds; false with the
// reason for a value that is no such number.
static bool IdleTimeout(const ConfSettings *conf, const char *file, const char **seconds,
                        char *reason, size_t capacity) {
    const char *value = conf->present[CONF_IDLE_TIMEOUT] ? conf->value[CONF_IDLE_TIMEOUT] : "300";
    size_t digits = strspn(value, "0123456789");
    *seconds = value;
    if (digits > 0 && digits <= 7 && value[digits] == '\0')
        return true;
    snprintf(reason, capacity,
             "IDLE_TIMEOUT=%s in %s is not a number of seconds (0 turns the time-out off)", value,
             file);
    return false;
}

// Turns the conf's settings into the hand-off's lines; false with the reason for a refusal.
static bool HandOffText(const ConfSettings *conf, const char *file, char *text, size_t capacity,
                        char *reason, size_t reasonCapacity) {
    if (!conf->present[CONF_PRINTER] || conf->value[CONF_PRINTER][0] == '\0') {
        snprintf(reason, reasonCapacity,
                 "PRINTER is empty or not set in %s: it must hold a line PRINTER=<CUPS queue>",
                 file);
        return false;
    }
    const char *idle = "";
    if (!IdleTimeout(conf, file, &idle, reason, reasonCapacity))
        return false;
    const char *advertise = conf->present[CONF_ADVERTISE] ? conf->value[CONF_ADVERTISE] : "";
    bool on = strcmp(advertise, "yes") == 0;
    if (!on && advertise[0] != '\0' && strcmp(advertise, "no") != 0)
        SayLine("%sADVERTISE=%s in %s is neither yes nor no: not advertised", Prefix, advertise,
                file);
    text[0] = '\0';
    static const ConfName passed[] = {CONF_PRINTER, CONF_CUPS_SERVER, CONF_CUPS_USER,
                                      CONF_FERROLINK_SPOOLER, CONF_FERROLINK_ROOT};
    for (ConfName name : passed)
        if (conf->present[name])
            AddSetting(text, capacity, ConfNameText(name), conf->value[name]);
    AddSetting(text, capacity, "FERROLINK_ADVERTISE", on ? "1" : "0");
    AddSetting(text, capacity, "FERROLINK_DNSSD_NAME",
               conf->present[CONF_DNSSD_NAME] ? conf->value[CONF_DNSSD_NAME] : "");
    AddSetting(text, capacity, "FERROLINK_IDLE_TIMEOUT", idle);
    return true;
}

// Reads and checks the conf into the hand-off's text; a refusal becomes "!<reason>".
static void ReadConf(const char *port, char *text, size_t capacity) {
    char file[PATH_SIZE], reason[CONF_REASON_SIZE];
    static char content[CONF_FILE_SIZE];
    static ConfSettings conf;
    snprintf(file, sizeof file, "/etc/ferrolink/%s.conf", port);
    bool missing = false;
    int fd = OpenCheckedConf(file, &missing, reason, sizeof reason);
    if (missing)
        snprintf(reason, sizeof reason, "%s is missing: it must hold a line PRINTER=<CUPS queue>",
                 file);
    long length = fd < 0 ? -1 : ReadWholeFile(fd, content, sizeof content);
    if (fd >= 0 && length < 0)
        snprintf(reason, sizeof reason, "cannot read %s, or it is larger than %d bytes", file,
                 CONF_FILE_SIZE - 1);
    if (fd >= 0)
        close(fd);
    if (length >= 0 &&
        ReadConfText(content, (size_t)length, file, Prefix, false, &conf, reason, sizeof reason) &&
        HandOffText(&conf, file, text, capacity, reason, sizeof reason))
        return;
    snprintf(text, capacity, "!%s\n", reason);
}

// Writes the hand-off for the sandboxed start: a file of root's that only root can change.
static int WriteHandOff(const char *port) {
    static char text[CONF_NAME_COUNT * (CONF_VALUE_SIZE + 32) + CONF_REASON_SIZE];
    char path[PATH_SIZE], temporary[PATH_SIZE];
    ReadConf(port, text, sizeof text);
    snprintf(path, sizeof path, "%s/%s.conf", HandOffFolder, port);
    snprintf(temporary, sizeof temporary, "%s/.%s.conf.new", HandOffFolder, port);
    struct stat info;
    if ((mkdir(HandOffFolder, 0755) != 0 && errno != EEXIST) || lstat(HandOffFolder, &info) != 0 ||
        !S_ISDIR(info.st_mode) || info.st_uid != 0 || chmod(HandOffFolder, 0755) != 0)
        Refuse("cannot make /run/ferrolink, root's folder of the instances' settings");
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    size_t length = strlen(text);
    bool written = fd >= 0 && fchmod(fd, 0644) == 0 && write(fd, text, length) == (ssize_t)length;
    if (fd < 0 || close(fd) != 0 || !written || rename(temporary, path) != 0)
        Refuse("cannot write the instance's settings into /run/ferrolink");
    return 0;
}

// Sets the relay's environment from the hand-off and runs it; refuses what the hand-off refused.
static int StartRelay(const char *port) {
    static char text[CONF_FILE_SIZE];
    static ConfSettings settings;
    char path[PATH_SIZE], reason[CONF_REASON_SIZE];
    snprintf(path, sizeof path, "%s/%s.conf", HandOffFolder, port);
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    bool ours = fd >= 0 && fstat(fd, &info) == 0 && info.st_uid == 0;
    long length = ours ? ReadWholeFile(fd, text, sizeof text) : -1;
    if (fd >= 0)
        close(fd);
    if (length < 0)
        Refuse("no settings in /run/ferrolink: ferrolink-start --read-conf runs first, as root");
    if (text[0] == '!') {
        text[strcspn(text, "\n")] = '\0';
        Refuse(text + 1);
    }
    if (!ReadConfText(text, (size_t)length, path, Prefix, true, &settings, reason, sizeof reason))
        Refuse(reason);
    for (int name = CONF_PRINTER + 1; name < CONF_NAME_COUNT; name++)
        if (settings.present[name])
            setenv(ConfNameText((ConfName)name), settings.value[name], 1);
    char standalone[] = "STANDALONE", relay[sizeof RelayProgram];
    memcpy(relay, RelayProgram, sizeof relay);
    char *arguments[] = {relay, standalone, settings.value[CONF_PRINTER], (char *)port, NULL};
    execv(RelayProgram, arguments);
    SayLine("%scannot run %s: %s", Prefix, RelayProgram, strerror(errno));
    return 1;
}

// Runs the mode its first argument names.
int main(int count, char **arguments) {
    const char *mode = count > 1 ? arguments[1] : "";
    bool named = strncmp(mode, "--", 2) == 0;
    const char *port = count > (named ? 2 : 1) ? arguments[named ? 2 : 1] : "";
    if (strcmp(mode, "--after-exit") == 0)
        return AfterExit(port);
    // A name refused before the relay's own start would be restarted: the start refuses it.
    if (strcmp(mode, "--read-conf") == 0 && !IsPortName(port))
        return 0;
    CheckName(port);
    if (strcmp(mode, "--check-name") == 0)
        return 0;
    if (strcmp(mode, "--read-conf") == 0)
        return WriteHandOff(port);
    return named ? EXIT_NOT_CONFIGURED : StartRelay(port);
}

// What the start hands the relay under systemd: the listening socket of the instance's socket
// unit (LISTEN_FDS), taken instead of binding one so that clients that connect while the relay
// restarts wait in systemd's queue, and the instance's settings that ferrolink-start read from
// its conf and checked, which take the place of the instance key's values.

#include "systemd_runner.h"

#include "platform/host/host_seams.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { LISTEN_FDS_START = 3 }; // the first descriptor systemd passes

static int InheritedListener = -1;
static bool InheritedChecked;

// True for an IPv4 or IPv6 stream socket that listens.
static bool IsListeningInet(int fd) {
    int type = 0, listening = 0;
    socklen_t size = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM)
        return false;
    size = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening)
        return false;
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    return getsockname(fd, (struct sockaddr *)&address, &length) == 0 &&
           (address.ss_family == AF_INET || address.ss_family == AF_INET6);
}

// Takes the listening socket systemd passed to this process, once; -1 when there is none. The
// variables go, so that nothing started later mistakes them for its own.
int TakeInheritedListener(void) {
    if (InheritedChecked)
        return -1;
    InheritedChecked = true;
    const char *pid = getenv("LISTEN_PID");
    const char *count = getenv("LISTEN_FDS");
    bool ours = pid != NULL && count != NULL && strtol(pid, NULL, 10) == (long)getpid() &&
                strtol(count, NULL, 10) >= 1;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!ours || !IsListeningInet(LISTEN_FDS_START))
        return -1;
    fcntl(LISTEN_FDS_START, F_SETFD, FD_CLOEXEC);
    InheritedListener = LISTEN_FDS_START;
    return InheritedListener;
}

// True when fd is the inherited socket and already bound to the given port and address. A relay
// asking for any address also takes a socket that its unit narrowed to one (ListenStream=
// 127.0.0.1:9100 or [2001:db8::7]:9100 in a drop-in), of either family: the administrator chose
// it, and it serves the relay's port.
bool InheritedListenerBoundTo(int fd, uint32_t addressNetOrder, uint16_t portNetOrder) {
    if (fd < 0 || fd != InheritedListener)
        return false;
    struct sockaddr_storage local;
    socklen_t length = sizeof local;
    if (getsockname(fd, (struct sockaddr *)&local, &length) != 0)
        return false;
    const struct sockaddr_in *ipv4 = (const struct sockaddr_in *)&local;
    const struct sockaddr_in6 *ipv6 = (const struct sockaddr_in6 *)&local;
    if (addressNetOrder == htonl(INADDR_ANY))
        return local.ss_family == AF_INET6 ? ipv6->sin6_port == portNetOrder
                                           : ipv4->sin_port == portNetOrder;
    return local.ss_family == AF_INET && ipv4->sin_port == portNetOrder &&
           ipv4->sin_addr.s_addr == addressNetOrder;
}

// Forgets the inherited socket once it is closed, so its number is not mistaken for it later.
void ForgetInheritedListener(int fd) {
    if (fd == InheritedListener)
        InheritedListener = -1;
}

// Names the environment variable that carries a setting.
static const char *HandedVariable(HandedSetting setting) {
    switch (setting) {
    case HANDED_ADVERTISE:
        return "FERROLINK_ADVERTISE";
    case HANDED_ADVERTISE_NAME:
        return "FERROLINK_DNSSD_NAME";
    case HANDED_IDLE_TIMEOUT:
        return "FERROLINK_IDLE_TIMEOUT";
    default:
        return NULL;
    }
}

// Gives the setting the start handed in the environment: FERROLINK_ADVERTISE ("1" on, anything
// else off), FERROLINK_DNSSD_NAME and FERROLINK_IDLE_TIMEOUT (seconds), which ferrolink-start sets
// from ADVERTISE, DNSSD_NAME and IDLE_TIMEOUT of the conf, and which a relay run by hand may set
// too. A value too long for the buffer is "". On Linux the listener is always dual-stack, and a
// silent client is reset after 300 s unless told otherwise.
bool ReadHandedSetting(HandedSetting setting, char *buffer, size_t capacity) {
    const char *variable = HandedVariable(setting);
    const char *value = variable != NULL ? getenv(variable) : NULL;
    if (setting == HANDED_IPV6)
        value = "1";
    if (setting == HANDED_IDLE_TIMEOUT && value == NULL)
        value = "300";
    if (value == NULL || capacity == 0)
        return false;
    if (setting == HANDED_ADVERTISE)
        value = strcmp(value, "1") == 0 ? "1" : "0";
    int length = snprintf(buffer, capacity, "%s", value);
    if (length < 0 || (size_t)length >= capacity)
        buffer[0] = '\0';
    return true;
}

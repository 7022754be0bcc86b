// Host layer: BSD sockets with errno turned into Winsock error numbers. A connection's bytes are
// read ahead in blocks of READ_AHEAD, so that a caller that asks for small pieces costs one
// system call per block, not one per piece; bytes read ahead are the kernel's bytes moved, and
// the caller sees the same stream, in the same order, ending the same way.

#include "posix_sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

enum { READ_AHEAD = 128 * 1024 };

// The bytes read ahead of one connection, from AheadStart to AheadEnd (the relay serves one at a
// time; another connection's receives go straight to the kernel meanwhile).
static char Ahead[READ_AHEAD];
static int AheadFd = -1;
static size_t AheadStart, AheadEnd;

// Maps errno to the Winsock number Windows reports for the same condition.
static int WinsockError(int code) {
    switch (code) {
    case EINTR:
        return 10004;
    case EBADF:
        return 10009;
    case EACCES:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case ENOTSOCK:
        return 10038;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
    case EPIPE:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case ENOTCONN:
        return 10057;
    case ETIMEDOUT:
        return 10060;
    default:
        return 10022;
    }
}

// Returns -1 with the Winsock number for the current errno.
static int Fail(int *error) {
    *error = WinsockError(errno);
    return -1;
}

// Creates a stream socket of either family.
int PosixStreamSocket(bool ipv6, int *error) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? Fail(error) : fd;
}

// Lets the port be bound again while old connections linger in TIME_WAIT, as Windows does; a port
// that another socket listens on still fails with EADDRINUSE.
static void AllowRebind(int fd) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

// Binds to an IPv4 address and port.
int PosixBind(int fd, uint32_t addressNetOrder, uint16_t portNetOrder, int *error) {
    AllowRebind(fd);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = portNetOrder;
    address.sin_addr.s_addr = addressNetOrder;
    return bind(fd, (struct sockaddr *)&address, sizeof address) != 0 ? Fail(error) : 0;
}

// Binds to an IPv6 address and port.
int PosixBind6(int fd, const unsigned char *address, uint32_t scope, uint16_t portNetOrder,
               int *error) {
    AllowRebind(fd);
    struct sockaddr_in6 local;
    memset(&local, 0, sizeof local);
    local.sin6_family = AF_INET6;
    local.sin6_port = portNetOrder;
    local.sin6_scope_id = scope;
    memcpy(&local.sin6_addr, address, 16);
    return bind(fd, (struct sockaddr *)&local, sizeof local) != 0 ? Fail(error) : 0;
}

// Sets whether an IPv6 socket refuses IPv4 clients.
int PosixSetV6Only(int fd, bool on, int *error) {
    int value = on ? 1 : 0;
    return setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &value, sizeof value) != 0 ? Fail(error) : 0;
}

// Bounds each receive's wait; 0 waits for ever.
int PosixSetReceiveTimeout(int fd, unsigned long milliseconds, int *error) {
    struct timeval wait = {(time_t)(milliseconds / 1000),
                           (suseconds_t)(milliseconds % 1000) * 1000};
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 ? Fail(error) : 0;
}

// Marks the socket listening (again).
int PosixListen(int fd, int backlog, int *error) {
    return listen(fd, backlog) != 0 ? Fail(error) : 0;
}

// Waits for a client on the listening socket, or for wakeFd (a stop), whichever comes first; a
// stop wins, so that clients still queued stay for the next relay.
int PosixWaitForClient(int fd, int wakeFd, int *error) {
    struct pollfd waits[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int ready;
    do {
        ready = poll(waits, wakeFd >= 0 ? 2 : 1, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return Fail(error);
    return (waits[1].revents & POLLIN) != 0 && wakeFd >= 0 ? 0 : 1;
}

// Names an interface for a link-local client's scope.
void PosixInterfaceName(unsigned long index, char *buffer, size_t capacity) {
    char name[IF_NAMESIZE];
    if (if_indextoname((unsigned int)index, name) != NULL)
        snprintf(buffer, capacity, "%s", name);
    else
        snprintf(buffer, capacity, "%lu", index);
}

// Records an accepted peer, a mapped IPv4 one as the IPv4 client it is.
static void DescribePeer(const struct sockaddr_storage *from, PosixPeer *peer) {
    memset(peer, 0, sizeof *peer);
    const struct sockaddr_in6 *ipv6 = (const struct sockaddr_in6 *)from;
    if (from->ss_family == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&ipv6->sin6_addr)) {
        peer->family = 6;
        memcpy(peer->address, &ipv6->sin6_addr, 16);
        peer->port = ipv6->sin6_port;
        peer->scope = ipv6->sin6_scope_id;
        inet_ntop(AF_INET6, &ipv6->sin6_addr, peer->text, sizeof peer->text);
        if (peer->scope == 0)
            return;
        size_t used = strlen(peer->text);
        peer->text[used] = '%';
        PosixInterfaceName(peer->scope, peer->text + used + 1, sizeof peer->text - used - 1);
        return;
    }
    peer->family = 4;
    if (from->ss_family == AF_INET6) {
        memcpy(peer->address, ipv6->sin6_addr.s6_addr + 12, 4);
        peer->port = ipv6->sin6_port;
    } else {
        const struct sockaddr_in *ipv4 = (const struct sockaddr_in *)from;
        memcpy(peer->address, &ipv4->sin_addr, 4);
        peer->port = ipv4->sin_port;
    }
    inet_ntop(AF_INET, peer->address, peer->text, sizeof peer->text);
}

// Accepts one connection, retrying when a signal interrupts the wait.
int PosixAccept(int fd, PosixPeer *peer, int *error) {
    struct sockaddr_storage from;
    socklen_t length = sizeof from;
    int connection;
    memset(&from, 0, sizeof from);
    do {
        connection = accept4(fd, (struct sockaddr *)&from, &length, SOCK_CLOEXEC);
    } while (connection < 0 && errno == EINTR);
    if (connection < 0)
        return Fail(error);
    DescribePeer(&from, peer);
    return connection;
}

// Gives the local port of a bound socket of either family, in host order; 0 when it has none.
int PosixLocalPort(int fd) {
    struct sockaddr_storage local;
    socklen_t length = sizeof local;
    memset(&local, 0, sizeof local);
    if (getsockname(fd, (struct sockaddr *)&local, &length) != 0)
        return 0;
    if (local.ss_family == AF_INET6)
        return ntohs(((struct sockaddr_in6 *)&local)->sin6_port);
    return local.ss_family == AF_INET ? ntohs(((struct sockaddr_in *)&local)->sin_port) : 0;
}

// Receives up to length bytes, retrying when a signal interrupts the wait.
long PosixReceive(int fd, char *buffer, size_t length, int *error) {
    ssize_t received;
    do {
        received = recv(fd, buffer, length, 0);
    } while (received < 0 && errno == EINTR);
    // On a blocking socket only a receive time-out gives EAGAIN; Winsock calls it WSAETIMEDOUT.
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        errno = ETIMEDOUT;
    return received < 0 ? Fail(error) : (long)received;
}

// Hands the caller up to length bytes read ahead of fd.
static long HandAhead(char *buffer, size_t length) {
    size_t count = AheadEnd - AheadStart < length ? AheadEnd - AheadStart : length;
    memcpy(buffer, Ahead + AheadStart, count);
    AheadStart += count;
    return (long)count;
}

// Receives up to length bytes through the read-ahead; an end or a failure is reported once the
// bytes before it were handed out, as the kernel would.
long PosixReceiveAhead(int fd, char *buffer, size_t length, int *error) {
    if (AheadStart < AheadEnd)
        return AheadFd == fd ? HandAhead(buffer, length) : PosixReceive(fd, buffer, length, error);
    if (length >= READ_AHEAD)
        return PosixReceive(fd, buffer, length, error);
    long got = PosixReceive(fd, Ahead, sizeof Ahead, error);
    if (got <= 0)
        return got;
    AheadFd = fd;
    AheadStart = 0;
    AheadEnd = (size_t)got;
    return HandAhead(buffer, length);
}

// Drops what was read ahead of fd, which is being closed.
void PosixForgetAhead(int fd) {
    if (AheadFd != fd)
        return;
    AheadFd = -1;
    AheadStart = AheadEnd = 0;
}

// Arms an abortive close: SO_LINGER on with no time, so that close sends a reset.
int PosixArmReset(int fd, int *error) {
    struct linger abortive = {1, 0};
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) != 0 ? Fail(error) : 0;
}

// Disarms the abortive close, then sends our end of the stream.
void PosixEndInOrder(int fd) {
    struct linger orderly = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &orderly, sizeof orderly);
    shutdown(fd, SHUT_WR);
}

// Closes a socket.
int PosixClose(int fd, int *error) {
    return close(fd) != 0 ? Fail(error) : 0;
}

// Waits for the client's bytes, then closes with them unread.
void PosixCloseUnread(int fd, int waitMs) {
    struct pollfd wait = {fd, POLLIN, 0};
    while (poll(&wait, 1, waitMs) < 0 && errno == EINTR)
        ;
    close(fd);
}

// Puts a port into network byte order for our Winsock, which does not see the Linux headers.
uint16_t PosixHostToNet16(uint16_t value) {
    return htons(value);
}

// Puts an IPv4 address into network byte order for our Winsock.
uint32_t PosixHostToNet32(uint32_t value) {
    return htonl(value);
}

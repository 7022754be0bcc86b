// Host layer: BSD sockets with errno turned into Winsock error numbers. A connection's bytes are
// read ahead in blocks of READ_AHEAD, so that a caller that asks for small pieces costs one
// system call per block, not one per piece; bytes read ahead are the kernel's bytes moved, and
// the caller sees the same stream, in the same order, ending the same way.

#include "posix_sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
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

// Creates an IPv4 stream socket.
int PosixStreamSocket(int *error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? Fail(error) : fd;
}

// Binds to an IPv4 address and port.
int PosixBind(int fd, uint32_t addressNetOrder, uint16_t portNetOrder, int *error) {
    // Windows lets a port be bound again while old connections linger in TIME_WAIT; Linux needs
    // SO_REUSEADDR for that. A port that another socket listens on still fails with EADDRINUSE.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = portNetOrder;
    address.sin_addr.s_addr = addressNetOrder;
    return bind(fd, (struct sockaddr *)&address, sizeof address) != 0 ? Fail(error) : 0;
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

// Accepts one connection, retrying when a signal interrupts the wait.
int PosixAccept(int fd, uint32_t *addressNetOrder, uint16_t *portNetOrder, int *error) {
    struct sockaddr_in peer;
    socklen_t length = sizeof peer;
    int connection;
    memset(&peer, 0, sizeof peer);
    do {
        connection = accept4(fd, (struct sockaddr *)&peer, &length, SOCK_CLOEXEC);
    } while (connection < 0 && errno == EINTR);
    if (connection < 0)
        return Fail(error);
    *addressNetOrder = peer.sin_addr.s_addr;
    *portNetOrder = peer.sin_port;
    return connection;
}

// Gives the local port of a bound socket, in host order; 0 when it has none.
int PosixLocalPort(int fd) {
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    memset(&local, 0, sizeof local);
    if (getsockname(fd, (struct sockaddr *)&local, &length) != 0 || local.sin_family != AF_INET)
        return 0;
    return ntohs(local.sin_port);
}

// Receives up to length bytes, retrying when a signal interrupts the wait.
long PosixReceive(int fd, char *buffer, size_t length, int *error) {
    ssize_t received;
    do {
        received = recv(fd, buffer, length, 0);
    } while (received < 0 && errno == EINTR);
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

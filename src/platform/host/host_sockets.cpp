// Host layer: Windows Sockets over BSD sockets. A SOCKET is the file descriptor; error numbers
// are Winsock's, kept per thread for WSAGetLastError.
//
// Two things differ from Windows on purpose. listen always asks for a deep queue: Linux answers
// connections beyond a short queue with SYN cookies and may then drop them while a client that
// sends and closes without waiting believes its job delivered; a deep queue makes such clients
// wait their turn. And accept records the peer of the connection it returns, which the CUPS
// spooler names as the job's originating host (the relay serves one connection at a time), and
// listen the listening port, which names the instance's folder of held jobs.
//
// Under systemd the listening socket may come from a socket unit: socket takes it and bind accepts
// it when it is already bound where asked (src/linux/systemd hands it over). accept only accepts:
// the service's life between jobs (readiness, held jobs, the stop) is the Linux service runner's,
// which the listener calls before each accept.
//
// A client hears an orderly end only once its job is whole on disk; in every other case it hears
// a reset. accept arms an abortive close on each connection, so that a close, or the relay's
// death (kill -9, the SIGKILL after TimeoutStopSec), resets it; one whose reset cannot be armed
// is closed unserved. accept keeps a record of the served connection (its socket, how its stream
// ended, a serial), which the job begun on it takes: only that job's seal ends the connection in
// order, so an open of a printer that begins no job tells no one anything. recv records how the
// stream ended: a reset or a receive error is not an end on Linux, and the spooler makes no job
// of such a connection (on Windows a receive error ends a job like a normal end).

#include "win32.h"

#include "host_internal.h"
#include "linux/systemd/systemd_runner.h"
#include "posix_sockets.h"

#include <atomic>
#include <stdio.h>
#include <string.h>

// The kernel trims this to net.core.somaxconn. A connection whose reset cannot be armed waits at
// most UNARMED_WAIT_MS for its client's bytes.
enum { LISTEN_DEPTH = 4096, UNARMED_WAIT_MS = 10000 };

static thread_local int LastSocketError;
static std::atomic<int> StartupCount;
static char LastPeer[64]; // in text; the serving thread alone writes and reads it
static std::atomic<int> ListeningPort;

// How the served connection's stream stands: as recv saw it, then as its job told it.
enum ClientEnd {
    CLIENT_RECEIVING,
    CLIENT_ENDED,
    CLIENT_BROKE_OFF,
    CLIENT_TOLD_DONE,
    CLIENT_FAILED
};

// The served connection's record; its serial tells a job's own connection from a later one.
struct ServedClient {
    std::atomic<int> fd{-1};
    std::atomic<int> end{CLIENT_RECEIVING};
    std::atomic<unsigned long> serial{0};
    std::atomic<bool> bound{false};
};
static ServedClient Served;

// Remembers a failure's Winsock number for WSAGetLastError.
static int Failed(int error) {
    LastSocketError = error;
    return SOCKET_ERROR;
}

// Lets the layer's other socket calls fail with a Winsock number.
int HostSocketFailure(int error) {
    return Failed(error);
}

// Starts Windows Sockets; versions below 2.0 are not offered.
int WSAStartup(WORD version, LPWSADATA data) {
    if ((version & 0xFF) < 2)
        return 10092; // WSAVERNOTSUPPORTED
    if (data != NULL) {
        memset(data, 0, sizeof *data);
        data->wVersion = MAKEWORD(2, 2);
        data->wHighVersion = MAKEWORD(2, 2);
        strcpy(data->szDescription, "Ferrolink host sockets");
        strcpy(data->szSystemStatus, "Running");
    }
    StartupCount++;
    StartHostProcess();
    return 0;
}

// Ends one WSAStartup.
int WSACleanup(void) {
    if (StartupCount.load() <= 0)
        return Failed(WSANOTINITIALISED);
    StartupCount--;
    return 0;
}

// Gives this thread's last Winsock error number.
int WSAGetLastError(void) {
    return LastSocketError;
}

// Creates a socket; only stream sockets, IPv4 or IPv6, are offered, and only after WSAStartup.
SOCKET socket(int family, int type, int protocol) {
    int error = 0;
    if (StartupCount.load() <= 0)
        error = WSANOTINITIALISED;
    else if ((family != AF_INET && family != AF_INET6) || type != SOCK_STREAM || protocol != 0)
        error = WSAEAFNOSUPPORT;
    int fd = error == 0 ? TakeInheritedListener() : -1;
    if (error == 0 && fd < 0)
        fd = PosixStreamSocket(family == AF_INET6, &error);
    if (fd < 0) {
        Failed(error);
        return INVALID_SOCKET;
    }
    return (SOCKET)fd;
}

// Binds an IPv6 address; systemd's socket, of either family, serves a bind to any address.
static int BindIpv6(SOCKET s, const struct sockaddr_in6 *ipv6) {
    static const unsigned char any[16] = {0};
    int error = 0;
    bool anyAddress = memcmp(ipv6->sin6_addr.s6_addr, any, 16) == 0;
    if (anyAddress && InheritedListenerBoundTo((int)s, htonl(INADDR_ANY), ipv6->sin6_port))
        return 0;
    if (PosixBind6((int)s, ipv6->sin6_addr.s6_addr, ipv6->sin6_scope_id, ipv6->sin6_port, &error) !=
        0)
        return Failed(error);
    return 0;
}

// Binds an IPv4 or IPv6 address; a port another socket listens on fails with WSAEADDRINUSE.
int bind(SOCKET s, const struct sockaddr *address, int length) {
    int error = 0;
    if (address == NULL || length < (int)sizeof(struct sockaddr_in))
        return Failed(WSAEFAULT);
    if (address->sa_family == AF_INET6)
        return length < (int)sizeof(struct sockaddr_in6)
                   ? Failed(WSAEFAULT)
                   : BindIpv6(s, (const struct sockaddr_in6 *)address);
    const struct sockaddr_in *ipv4 = (const struct sockaddr_in *)address;
    if (ipv4->sin_family != AF_INET)
        return Failed(WSAEAFNOSUPPORT);
    if (InheritedListenerBoundTo((int)s, ipv4->sin_addr.s_addr, ipv4->sin_port))
        return 0; // systemd bound it for us
    if (PosixBind((int)s, ipv4->sin_addr.s_addr, ipv4->sin_port, &error) != 0)
        return Failed(error);
    return 0;
}

// Listens with a queue that holds bursts of clients, whatever backlog was asked for, and records
// the port, which names the instance's folder of held jobs.
int listen(SOCKET s, int backlog) {
    int error = 0;
    int depth = backlog > LISTEN_DEPTH ? backlog : LISTEN_DEPTH;
    if (PosixListen((int)s, depth, &error) != 0)
        return Failed(error);
    ListeningPort = PosixLocalPort((int)s);
    NoteHostListener((int)s); // a stop counts the clients queued on it
    return 0;
}

// Arms the reset of a connection accept returned and makes it the served one; false when the reset
// cannot be armed: no job could then fail without its client hearing done, so the connection is
// closed unserved, once its first bytes arrived and with them unread, which resets it.
static bool RecordServed(int fd) {
    int error = 0;
    if (PosixArmReset(fd, &error) != 0) {
        fprintf(stderr, "Cannot arm the reset of a connection (error %d): it is closed unserved.\n",
                error);
        PosixCloseUnread(fd, UNARMED_WAIT_MS);
        return false;
    }
    Served.end = CLIENT_RECEIVING;
    Served.bound = false;
    Served.serial++;
    Served.fd = fd;
    return true;
}

// Accepts a connection, arms its reset and records its peer for the spooler.
SOCKET accept(SOCKET s, struct sockaddr *address, int *length) {
    int error = 0;
    PosixPeer peer;
    int fd = PosixAccept((int)s, &peer, &error);
    if (fd < 0) {
        Failed(error);
        return INVALID_SOCKET;
    }
    if (!RecordServed(fd)) {
        Failed(WSAECONNABORTED);
        return INVALID_SOCKET;
    }
    snprintf(LastPeer, sizeof LastPeer, "%s", peer.text);
    FillWinsockPeer(&peer, address, length);
    return (SOCKET)fd;
}

// Gives the port of the socket that listened last.
int HostListenPort(void) {
    return ListeningPort.load();
}

// Gives the last accepted peer's address as its lines show it.
void LastAcceptedPeer(char *buffer, size_t capacity) {
    snprintf(buffer, capacity, "%s", LastPeer);
}

// Says in words why a receive failed.
static void DescribeReceiveError(int error, char *buffer, size_t capacity) {
    if (error == WSAECONNRESET)
        snprintf(buffer, capacity, "%s", "the client reset it");
    else if (error == WSAETIMEDOUT)
        snprintf(buffer, capacity, "%s", "it timed out");
    else
        snprintf(buffer, capacity, "receive error %d", error);
}

// Records how the served connection's stream ended; a break is said on standard error, as its
// client's job is then not printed.
static void NoteStreamEnd(int fd, long received, int error) {
    int receiving = CLIENT_RECEIVING;
    bool brokeOff = received < 0;
    if (received > 0 || fd != Served.fd.load() ||
        !Served.end.compare_exchange_strong(receiving,
                                            brokeOff ? CLIENT_BROKE_OFF : CLIENT_ENDED) ||
        !brokeOff || error == WSAETIMEDOUT) // the listener says why a silent client is reset
        return;
    char peer[64], reason[48];
    LastAcceptedPeer(peer, sizeof peer);
    DescribeReceiveError(error, reason, sizeof reason);
    fprintf(stderr, "The connection from %s broke off (%s): its job is not printed.\n", peer,
            reason);
}

// Receives what the client sent so far; 0 once it closed its side.
int recv(SOCKET s, char *buffer, int length, int) {
    int error = 0;
    if (length < 0)
        return Failed(WSAEINVAL);
    long received = PosixReceiveAhead((int)s, buffer, (size_t)length, &error);
    NoteStreamEnd((int)s, received, error);
    return received < 0 ? Failed(error) : (int)received;
}

// Hands the served connection's record to the job begun on it, once.
ServedClient *HostBindServedClient(unsigned long *serial) {
    if (Served.fd.load() < 0 || Served.bound.exchange(true))
        return NULL;
    *serial = Served.serial.load();
    return &Served;
}

// True when the job's connection is still served and its stream ended in a reset or an error.
bool HostClientBrokeOff(const ServedClient *client, unsigned long serial) {
    return client->serial.load() == serial && client->end.load() == CLIENT_BROKE_OFF;
}

// Ends the job's connection in order, once its client ended its stream in order.
void HostTellClientDone(ServedClient *client, unsigned long serial) {
    int ended = CLIENT_ENDED;
    int fd = client->fd.load();
    if (fd >= 0 && client->serial.load() == serial &&
        client->end.compare_exchange_strong(ended, CLIENT_TOLD_DONE))
        PosixEndInOrder(fd);
}

// Marks the served connection broken off, so that the job begun on it is not printed.
void HostAbortServedClient(void) {
    int now = Served.end.load();
    while (now != CLIENT_TOLD_DONE && !Served.end.compare_exchange_weak(now, CLIENT_BROKE_OFF))
        ;
}

// Keeps the job's connection from ever hearing done: its close resets it.
void HostTellClientFailed(ServedClient *client, unsigned long serial) {
    int now = client->end.load();
    while (client->serial.load() == serial && now != CLIENT_TOLD_DONE &&
           !client->end.compare_exchange_weak(now, CLIENT_FAILED))
        ;
}

// Closes a socket, ending its connection or giving up its port; a served connection that its job
// did not tell done is reset.
int closesocket(SOCKET s) {
    int error = 0;
    int served = (int)s;
    if (Served.fd.compare_exchange_strong(served, -1))
        Served.bound = false;
    ForgetInheritedListener((int)s);
    PosixForgetAhead((int)s);
    return PosixClose((int)s, &error) != 0 ? Failed(error) : 0;
}

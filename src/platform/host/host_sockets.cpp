// Host layer: Windows Sockets over BSD sockets. A SOCKET is the file descriptor; error numbers
// are Winsock's, kept per thread for WSAGetLastError.
//
// Two things differ from Windows on purpose. listen always asks for a deep queue: Linux answers
// connections beyond a short queue with SYN cookies and may then drop them while a client that
// sends and closes without waiting believes its job delivered; a deep queue makes such clients
// wait their turn. And accept records the peer of the connection it returns, which the CUPS
// spooler names as the job's originating host (the relay serves one connection at a time), and
// the listening port, which names the instance's folder of held jobs.
//
// Under systemd the listening socket may come from a socket unit: socket takes it and bind accepts
// it when it is already bound where asked. A stop signal ends the relay in accept, never in a job.

#include "win32.h"

#include "host_internal.h"
#include "posix_sockets.h"

#include <atomic>
#include <stdio.h>
#include <string.h>

// The kernel trims this to net.core.somaxconn.
enum { LISTEN_DEPTH = 4096 };

static thread_local int LastSocketError;
static std::atomic<int> StartupCount;
static std::atomic<uint32_t> LastPeer; // network order
static std::atomic<bool> PeerKnown;
static std::atomic<int> ListeningPort;
static std::atomic<bool> HeldJobsDelivered;

// Remembers a failure's Winsock number for WSAGetLastError.
static int Failed(int error) {
    LastSocketError = error;
    return SOCKET_ERROR;
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

// Creates a socket; only IPv4 stream sockets are offered, and only after WSAStartup.
SOCKET socket(int family, int type, int protocol) {
    int error = 0;
    if (StartupCount.load() <= 0)
        error = WSANOTINITIALISED;
    else if (family != AF_INET || type != SOCK_STREAM || protocol != 0)
        error = WSAEAFNOSUPPORT;
    int fd = error == 0 ? TakeInheritedListener() : -1;
    if (error == 0 && fd < 0)
        fd = PosixStreamSocket(&error);
    if (fd < 0) {
        Failed(error);
        return INVALID_SOCKET;
    }
    return (SOCKET)fd;
}

// Binds an IPv4 address; a port another socket listens on fails with WSAEADDRINUSE.
int bind(SOCKET s, const struct sockaddr *address, int length) {
    int error = 0;
    if (address == NULL || length < (int)sizeof(struct sockaddr_in))
        return Failed(WSAEFAULT);
    const struct sockaddr_in *ipv4 = (const struct sockaddr_in *)address;
    if (ipv4->sin_family != AF_INET)
        return Failed(WSAEAFNOSUPPORT);
    if (InheritedListenerBoundTo((int)s, ipv4->sin_addr.s_addr, ipv4->sin_port))
        return 0; // systemd bound it for us
    if (PosixBind((int)s, ipv4->sin_addr.s_addr, ipv4->sin_port, &error) != 0)
        return Failed(error);
    return 0;
}

// Listens with a queue that holds bursts of clients, whatever backlog was asked for.
int listen(SOCKET s, int backlog) {
    int error = 0;
    int depth = backlog > LISTEN_DEPTH ? backlog : LISTEN_DEPTH;
    return PosixListen((int)s, depth, &error) != 0 ? Failed(error) : 0;
}

// Accepts a connection and records its peer for the spooler. The first wait tells systemd the
// relay is ready; a stop requested before or during a wait ends the process here, between jobs.
// The first accept then lets the spooler send what an earlier run of the same instance left held:
// the port is ours by then (so no other instance sends the same jobs) and listens (so clients
// queue rather than fail); readiness comes first, as that sending may wait for the scheduler.
SOCKET accept(SOCKET s, struct sockaddr *address, int *length) {
    int error = 0;
    uint32_t peerAddress = 0;
    uint16_t peerPort = 0;
    ListeningPort = PosixLocalPort((int)s);
    SetHostServingClient(false);
    NotifyHostReady((int)s);
    if (!HeldJobsDelivered.exchange(true))
        HostDeliverHeldJobs();
    if (HostStopRequested())
        EndHostForStop();
    int waited = PosixWaitForClient((int)s, HostStopWakeDescriptor(), &error);
    if (waited == 0)
        EndHostForStop();
    int fd = waited < 0 ? -1 : PosixAccept((int)s, &peerAddress, &peerPort, &error);
    if (fd < 0) {
        Failed(error);
        return INVALID_SOCKET;
    }
    LastPeer = peerAddress;
    PeerKnown = true;
    SetHostServingClient(true);
    if (address != NULL && length != NULL && *length >= (int)sizeof(struct sockaddr_in)) {
        struct sockaddr_in peer;
        memset(&peer, 0, sizeof peer);
        peer.sin_family = AF_INET;
        peer.sin_port = peerPort;
        peer.sin_addr.s_addr = peerAddress;
        memcpy(address, &peer, sizeof peer);
        *length = sizeof peer;
    }
    return (SOCKET)fd;
}

// Gives the listening socket's port.
int HostListenPort(void) {
    return ListeningPort.load();
}

// Dots the last accepted peer's address, first byte first.
void LastAcceptedPeer(char *buffer, size_t capacity) {
    uint32_t address = LastPeer.load();
    const unsigned char *bytes = (const unsigned char *)&address;
    if (!PeerKnown.load())
        snprintf(buffer, capacity, "%s", "");
    else
        snprintf(buffer, capacity, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

// Receives what the client sent so far; 0 once it closed its side.
int recv(SOCKET s, char *buffer, int length, int) {
    int error = 0;
    if (length < 0)
        return Failed(WSAEINVAL);
    long received = PosixReceive((int)s, buffer, (size_t)length, &error);
    return received < 0 ? Failed(error) : (int)received;
}

// Closes a socket, ending its connection or giving up its port.
int closesocket(SOCKET s) {
    int error = 0;
    ForgetInheritedListener((int)s);
    return PosixClose((int)s, &error) != 0 ? Failed(error) : 0;
}

// Puts a port into network byte order.
u_short htons(u_short value) {
    return PosixHostToNet16(value);
}

// Puts an IPv4 address into network byte order.
uint32_t htonl(uint32_t value) {
    return PosixHostToNet32(value);
}

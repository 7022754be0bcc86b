// Host layer: Windows Sockets over BSD sockets. A SOCKET is the file descriptor; error numbers
// are Winsock's, kept per thread for WSAGetLastError.

#include "win32.h"

#include "posix_sockets.h"

#include <atomic>
#include <string.h>

static thread_local int LastSocketError;
static std::atomic<int> StartupCount;

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
    return 0;
}

// Ends one WSAStartup.
int WSACleanup(void) {
    if (StartupCount.load() <= 0)
        return Failed(WSANOTINITIALISED);
    StartupCount--;
    return 0;
}

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
    int fd = error == 0 ? PosixStreamSocket(&error) : -1;
    if (fd < 0) {
        Failed(error);
        return INVALID_SOCKET;
    }
    return (SOCKET)fd;
}

int bind(SOCKET s, const struct sockaddr *address, int length) {
    int error = 0;
    if (address == NULL || length < (int)sizeof(struct sockaddr_in))
        return Failed(WSAEFAULT);
    const struct sockaddr_in *ipv4 = (const struct sockaddr_in *)address;
    if (ipv4->sin_family != AF_INET)
        return Failed(WSAEAFNOSUPPORT);
    if (PosixBind((int)s, ipv4->sin_addr.s_addr, ipv4->sin_port, &error) != 0)
        return Failed(error);
    return 0;
}

int listen(SOCKET s, int backlog) {
    int error = 0;
    return PosixListen((int)s, backlog, &error) != 0 ? Failed(error) : 0;
}

SOCKET accept(SOCKET s, struct sockaddr *address, int *length) {
    int error = 0;
    uint32_t peerAddress = 0;
    uint16_t peerPort = 0;
    int fd = PosixAccept((int)s, &peerAddress, &peerPort, &error);
    if (fd < 0) {
        Failed(error);
        return INVALID_SOCKET;
    }
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

int recv(SOCKET s, char *buffer, int length, int) {
    int error = 0;
    if (length < 0)
        return Failed(WSAEINVAL);
    long received = PosixReceive((int)s, buffer, (size_t)length, &error);
    return received < 0 ? Failed(error) : (int)received;
}

int closesocket(SOCKET s) {
    int error = 0;
    return PosixClose((int)s, &error) != 0 ? Failed(error) : 0;
}

u_short htons(u_short value) {
    return PosixHostToNet16(value);
}

uint32_t htonl(uint32_t value) {
    return PosixHostToNet32(value);
}

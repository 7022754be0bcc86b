// Host layer: the socket options the relay sets, the peer's address record in Winsock's layout, and
// the byte-order helpers. Of the options, only those the listener uses are offered: IPV6_V6ONLY on
// the listening socket, and SO_RCVTIMEO (a DWORD of milliseconds, as on Windows) and SO_LINGER
// on a connection. A socket that systemd passed keeps its own family and address: IPV6_V6ONLY on
// an IPv4 one, or on one already listening (BindIPv6Only= chose), is left to the unit.

#include "win32.h"

#include "host_internal.h"
#include "posix_sockets.h"

#include <string.h>

// Sets IPV6_V6ONLY where the socket is still the relay's to shape.
static int SetV6Only(SOCKET s, const char *value, int length) {
    int error = 0;
    if (length != (int)sizeof(DWORD))
        return HostSocketFailure(WSAEFAULT);
    if (PosixSetV6Only((int)s, *(const DWORD *)value != 0, &error) != 0 &&
        error != WSAEINVAL) // the kernel's answer when bound, or for an IPv4 socket
        return HostSocketFailure(error);
    return 0;
}

// Sets one of the options the relay uses; any other fails with WSAENOPROTOOPT.
int setsockopt(SOCKET s, int level, int name, const char *value, int length) {
    int error = 0;
    if (value == NULL)
        return HostSocketFailure(WSAEFAULT);
    if (level == IPPROTO_IPV6 && name == IPV6_V6ONLY)
        return SetV6Only(s, value, length);
    if (level == SOL_SOCKET && name == SO_RCVTIMEO && length == (int)sizeof(DWORD))
        return PosixSetReceiveTimeout((int)s, *(const DWORD *)value, &error) != 0
                   ? HostSocketFailure(error)
                   : 0;
    if (level == SOL_SOCKET && name == SO_LINGER && length == (int)sizeof(struct linger)) {
        const struct linger *linger = (const struct linger *)value;
        // Every served connection is armed to reset already; only that form is asked for.
        if (linger->l_onoff == 0 || linger->l_linger != 0)
            return HostSocketFailure(WSAEINVAL);
        return PosixArmReset((int)s, &error) != 0 ? HostSocketFailure(error) : 0;
    }
    return HostSocketFailure(10042); // WSAENOPROTOOPT
}

// Fills the caller's address record in the peer's family; an IPv4 client of a dual-stack socket
// is given as IPv4, as the lines show it.
void FillWinsockPeer(const PosixPeer *peer, struct sockaddr *address, int *length) {
    if (address == NULL || length == NULL)
        return;
    if (peer->family == 6 && *length >= (int)sizeof(struct sockaddr_in6)) {
        struct sockaddr_in6 ipv6;
        memset(&ipv6, 0, sizeof ipv6);
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = peer->port;
        ipv6.sin6_scope_id = peer->scope;
        memcpy(ipv6.sin6_addr.s6_addr, peer->address, 16);
        memcpy(address, &ipv6, sizeof ipv6);
        *length = sizeof ipv6;
    } else if (peer->family == 4 && *length >= (int)sizeof(struct sockaddr_in)) {
        struct sockaddr_in ipv4;
        memset(&ipv4, 0, sizeof ipv4);
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = peer->port;
        memcpy(&ipv4.sin_addr, peer->address, 4);
        memcpy(address, &ipv4, sizeof ipv4);
        *length = sizeof ipv4;
    }
}

// Names a link-local client's scope by its interface, as Linux's own tools do.
void HostScopeName(unsigned long scope, char *buffer, size_t capacity) {
    PosixInterfaceName(scope, buffer, capacity);
}

// Puts a port into network byte order.
u_short htons(u_short value) {
    return PosixHostToNet16(value);
}

// Puts an IPv4 address into network byte order.
uint32_t htonl(uint32_t value) {
    return PosixHostToNet32(value);
}

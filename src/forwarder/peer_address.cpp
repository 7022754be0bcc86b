// Client addresses in text. IPv6 follows the recommended text form: lower-case hexadecimal without
// leading zeros, the longest run of two or more zero groups (the first of equals) as "::". An
// IPv4-mapped address is the IPv4 client of a dual-stack socket and is shown dotted, so that its
// lines read as on an IPv4 socket.

#include "forwarder/peer_address.h"

#include "common/common.h"

#include <string.h>

static const unsigned char MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// Dots four address bytes, first byte first.
static void FormatDotted(const unsigned char *bytes, char *buffer, size_t capacity) {
    FormatBounded(buffer, capacity, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
}

// Finds the longest run of at least two zero groups; its start in *start, its length returned.
static int LongestZeroRun(const unsigned int *groups, int *start) {
    int best = 0;
    for (int i = 0; i < 8;) {
        int run = 0;
        while (i + run < 8 && groups[i + run] == 0)
            run++;
        if (run > best && run >= 2) {
            best = run;
            *start = i;
        }
        i += run > 0 ? run : 1;
    }
    return best;
}

// Writes sixteen IPv6 address bytes in the compressed form.
static void FormatCompressed(const unsigned char *bytes, char *buffer, size_t capacity) {
    unsigned int groups[8];
    for (int i = 0; i < 8; i++)
        groups[i] = (unsigned int)bytes[2 * i] << 8 | bytes[2 * i + 1];
    int start = -1;
    int run = LongestZeroRun(groups, &start);
    buffer[0] = '\0';
    for (int i = 0; i < 8; i++) {
        size_t used = strlen(buffer);
        if (i == start) {
            FormatBounded(buffer + used, capacity - used, "%s", "::");
            i += run - 1;
            continue;
        }
        bool first = i == 0 || i == start + run;
        FormatBounded(buffer + used, capacity - used, first ? "%x" : ":%x", groups[i]);
    }
}

// Writes an IPv6 peer, dotted when it maps an IPv4 one, with "%<scope>" when it has a scope.
static void FormatIpv6(const struct sockaddr_in6 *peer, char *buffer, size_t capacity) {
    const unsigned char *bytes = peer->sin6_addr.s6_addr;
    if (memcmp(bytes, MappedPrefix, sizeof MappedPrefix) == 0) {
        FormatDotted(bytes + 12, buffer, capacity);
        return;
    }
    FormatCompressed(bytes, buffer, capacity);
    if (peer->sin6_scope_id == 0)
        return;
    char scope[32];
    HostScopeName((unsigned long)peer->sin6_scope_id, scope, sizeof scope);
    size_t used = strlen(buffer);
    FormatBounded(buffer + used, capacity - used, "%%%s", scope);
}

// Writes the peer's address in the form its lines show.
void FormatPeerAddress(const struct sockaddr_storage *peer, char *buffer, size_t capacity) {
    buffer[0] = '\0';
    if (peer->ss_family == AF_INET)
        FormatDotted((const unsigned char *)&((const struct sockaddr_in *)peer)->sin_addr, buffer,
                     capacity);
    else if (peer->ss_family == AF_INET6)
        FormatIpv6((const struct sockaddr_in6 *)peer, buffer, capacity);
}

// Tells whether accept handed out no real peer: the address is all zeros, mapped or not.
bool PeerAddressIsEmpty(const struct sockaddr_storage *peer) {
    static const unsigned char zeros[16] = {0};
    if (peer->ss_family == AF_INET6) {
        const unsigned char *bytes = ((const struct sockaddr_in6 *)peer)->sin6_addr.s6_addr;
        bool mapped = memcmp(bytes, MappedPrefix, sizeof MappedPrefix) == 0;
        return memcmp(mapped ? bytes + 12 : bytes, zeros, mapped ? 4 : 16) == 0;
    }
    return ((const struct sockaddr_in *)peer)->sin_addr.s_addr == htonl(INADDR_ANY);
}

// Client addresses as the relay's lines show them: IPv4 dotted, IPv6 in its compressed form with
// its scope, and an IPv4 client of a dual-stack socket as the IPv4 address it is.
#pragma once

#include "platform/platform.h"

#include <stddef.h>

// Room for the longest IPv6 address with a scope name.
enum { PEER_ADDRESS_SIZE = 64 };

// Writes the peer's address: "10.0.0.7", "2001:db8::7", "fe80::1%eth0"; "" for another family.
void FormatPeerAddress(const struct sockaddr_storage *peer, char *buffer, size_t capacity);

// True for the unspecified address (0.0.0.0, ::, or :: mapping 0.0.0.0): no TCP client has it.
bool PeerAddressIsEmpty(const struct sockaddr_storage *peer);

// Host layer: the few BSD socket calls behind our Winsock, with plain types so that no file
// needs both the Linux and the Windows declarations. Each returns -1 on failure and leaves the
// matching Winsock error number in *error.
#pragma once

#include <stddef.h>
#include <stdint.h>

// An accepted client: its family (4 or 6), address, port (network order), scope, and its address in
// the text its lines show (an IPv4 client of a dual-stack socket dotted, as on an IPv4 one).
struct PosixPeer {
    int family;
    unsigned char address[16]; // IPv4: the first four
    uint16_t port;
    uint32_t scope;
    char text[64];
};

// An IPv4 stream socket, or with ipv6 an IPv6 one (EAFNOSUPPORT where the kernel has none).
int PosixStreamSocket(bool ipv6, int *error);
int PosixBind(int fd, uint32_t addressNetOrder, uint16_t portNetOrder, int *error);
int PosixBind6(int fd, const unsigned char *address, uint32_t scope, uint16_t portNetOrder,
               int *error);
// IPV6_V6ONLY: off makes an IPv6 socket take IPv4 clients too.
int PosixSetV6Only(int fd, bool on, int *error);
// SO_RCVTIMEO: a receive then fails with WSAETIMEDOUT after that long with nothing received.
int PosixSetReceiveTimeout(int fd, unsigned long milliseconds, int *error);
int PosixListen(int fd, int backlog, int *error);
// Waits until a client can be accepted (1) or wakeFd becomes readable (0); -1 on failure.
int PosixWaitForClient(int fd, int wakeFd, int *error);
int PosixAccept(int fd, PosixPeer *peer, int *error);
long PosixReceive(int fd, char *buffer, size_t length, int *error);
// Receives through a read-ahead buffer of the process's: one system call per large block however
// small the pieces asked for. The bytes, their order and the stream's end are the kernel's.
long PosixReceiveAhead(int fd, char *buffer, size_t length, int *error);
// Drops the bytes read ahead of a connection that is being closed.
void PosixForgetAhead(int fd);
// Makes a later close (or the process's death) reset the connection instead of ending it.
int PosixArmReset(int fd, int *error);
// Ends the connection in order (the peer reads its end) and lets its later close be an orderly
// one; the descriptor stays open.
void PosixEndInOrder(int fd);
int PosixClose(int fd, int *error);
// Closes a connection without reading it, once its client's first bytes or its end arrived (or
// waitMs passed): a close with unread bytes resets the connection even with no reset armed.
void PosixCloseUnread(int fd, int waitMs);
// The bound port of an IPv4 or IPv6 socket, in host order; 0 when it has none.
int PosixLocalPort(int fd);
// Fills buffer with the interface's name; its number when it has none.
void PosixInterfaceName(unsigned long index, char *buffer, size_t capacity);
uint16_t PosixHostToNet16(uint16_t value);
uint32_t PosixHostToNet32(uint32_t value);

// Fills a Winsock address record (struct sockaddr of win32.h) of *length bytes with the peer.
struct sockaddr;
void FillWinsockPeer(const PosixPeer *peer, struct sockaddr *address, int *length);

// Host layer: the few BSD socket calls behind our Winsock, with plain types so that no file
// needs both the Linux and the Windows declarations. Each returns -1 on failure and leaves the
// matching Winsock error number in *error.
#pragma once

#include <stddef.h>
#include <stdint.h>

int PosixStreamSocket(int *error);
int PosixBind(int fd, uint32_t addressNetOrder, uint16_t portNetOrder, int *error);
int PosixListen(int fd, int backlog, int *error);
// Waits until a client can be accepted (1) or wakeFd becomes readable (0); -1 on failure.
int PosixWaitForClient(int fd, int wakeFd, int *error);
int PosixAccept(int fd, uint32_t *addressNetOrder, uint16_t *portNetOrder, int *error);
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
int PosixLocalPort(int fd);
uint16_t PosixHostToNet16(uint16_t value);
uint32_t PosixHostToNet32(uint32_t value);

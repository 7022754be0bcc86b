// Raw print forwarder: the listening socket, the accept loop, and one RAW spool job per
// connection.
#pragma once

// Starts Windows Sockets; called once before the first listener.
void NetworkStartup(void);

// Ends Windows Sockets; called once after the last listener.
void NetworkCleanup(void);

// Runs one life of the listening socket. Returns 0 when the socket could not be created or bound,
// or when a console instance's configuration could not be written once it listened; 1 when
// listening ended because listen failed (the caller may start it again).
int RunPrintListener(bool inService);

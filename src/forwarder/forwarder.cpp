// Raw print forwarder: listens on ListenPort, serves one connection at a time, and copies each
// connection's bytes unchanged into one RAW job on the configured printer.
//
// By default an IPv4 socket with no time-outs and no socket options: a client that neither sends
// nor closes holds the listener. Two settings of the instance change that: "IPv6" makes the socket
// dual-stack, and "IdleTimeout" resets a client silent that long and aborts its job, which is then
// never printed in part (without it a receive error ends a job like a normal end). Data streams
// through one 1024-byte buffer; nothing is ever sent back to the client.

#include "forwarder/forwarder.h"

#include "advertise/advertise.h"
#include "common/common.h"
#include "config/config.h"
#include "forwarder/peer_address.h"

#include <string.h>

enum {
    LISTEN_BACKLOG = 2,
    RECEIVE_CHUNK = 1024,
    EXIT_NO_SOCKET = 3,
    EXIT_NO_BIND = 4,
    EXIT_NO_LISTEN = 5,
    EXIT_NO_CONFIGURATION = 7, // a console run's exit status on Linux only; no service stop code
};

static char DocumentName[] = "Forwarded Job";
static char RawDatatype[] = "RAW";
static ListenerSettings Settings; // read as each listener starts

// Starts Windows Sockets 2.2; the result is not needed.
void NetworkStartup(void) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

// Ends Windows Sockets.
void NetworkCleanup(void) {
    WSACleanup();
}

// Logs a formatted line carrying the last sockets error number.
static void LogSocketError(const char *format) {
    char line[LINE_BUFFER_SIZE];
    FormatBounded(line, sizeof line, format, WSAGetLastError());
    LogLine(line);
}

// Logs the accept line with the printer and the peer's address; a name too long for the line is
// cut, never the address.
static void LogAccept(const char *address) {
    char tail[PEER_ADDRESS_SIZE + 8];
    char line[LINE_BUFFER_SIZE];
    FormatBounded(tail, sizeof tail, " from %s", address);
    FormatNameLine(line, sizeof line, "Accept print job for ", PrinterName, tail);
    LogLine(line);
}

// Ends a client that went silent: its job is aborted, never printed in part, and its connection
// reset rather than closed in order, so that the client knows the job failed.
static void ResetSilentClient(SOCKET connection, HANDLE printer, const char *address) {
    char line[LINE_BUFFER_SIZE];
    FormatBounded(line, sizeof line,
                  "No data from %s for %lu s: the connection is reset, its job is not printed.",
                  address, (unsigned long)Settings.idleSeconds);
    LogLine(line);
    AbortPrinter(printer);
    ClosePrinter(printer);
    struct linger abortive = {1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, (const char *)&abortive, sizeof abortive);
}

// Opens the configured printer and begins a RAW document; NULL when either step fails.
static HANDLE OpenPrintJob(void) {
    HANDLE printer = NULL;
    DOC_INFO_1A document = {DocumentName, NULL, RawDatatype};
    if (!OpenPrinterA(PrinterName, &printer, NULL))
        return NULL;
    if (StartDocPrinterA(printer, 1, (LPBYTE)&document) == 0) {
        ClosePrinter(printer);
        return NULL;
    }
    return printer;
}

// Serves one connection as one print job: every byte received goes to the printer in order.
static void ForwardJob(SOCKET connection, const struct sockaddr_storage *peer) {
    char buffer[RECEIVE_CHUNK];
    char address[PEER_ADDRESS_SIZE];
    int received;

    ReadInstanceConfig(false);
    FormatPeerAddress(peer, address, sizeof address);
    LogAccept(address);
    HANDLE printer = OpenPrintJob();
    if (printer == NULL) {
        LogLine("Error opening print job.");
        return;
    }
    bool allWritten = true;
    // A receive of 0 (the peer closed) or an error ends the job like a normal end.
    while ((received = recv(connection, buffer, sizeof buffer, 0)) > 0) {
        DWORD written = 0;
        WritePrinter(printer, buffer, (DWORD)received, &written);
        if (written != (DWORD)received) {
            LogLine("Couldn't print all data.");
            allWritten = false;
            break;
        }
    }
    // Only a time-out the instance asked for is not an end.
    if (received < 0 && Settings.idleSeconds != 0 && WSAGetLastError() == WSAETIMEDOUT) {
        ResetSilentClient(connection, printer, address);
        return;
    }
    // Closing the handle completes the job; no end-of-document call is made. A spooler that
    // still holds the job's tail can fail here, the only place such a loss shows.
    if (!ClosePrinter(printer) && allWritten)
        LogLine("Couldn't print all data.");
}

// Reports a listener failure: to the service manager inside the service, and for the exit status.
static void ReportListenerFailure(bool inService, DWORD exitCode) {
    NoteRelayFailure(exitCode);
    if (inService)
        ReportServiceStopped(exitCode);
}

// True when accept handed out a connection its client had already reset. Windows fails such an
// accept (WSAECONNRESET); some Wine versions return it with no peer address instead, and no TCP
// client has the address 0.0.0.0. Either way the connection makes no job.
static bool PeerIsGone(const struct sockaddr_storage *peer) {
    return PeerAddressIsEmpty(peer);
}

// Binds the socket to the wildcard address of its family and ListenPort.
static int BindAnyAddress(SOCKET listener, bool ipv6) {
    struct sockaddr_storage address;
    memset(&address, 0, sizeof address);
    if (!ipv6) {
        struct sockaddr_in *ipv4 = (struct sockaddr_in *)&address;
        ipv4->sin_family = AF_INET;
        ipv4->sin_port = htons(ListenPort);
        ipv4->sin_addr.s_addr = htonl(INADDR_ANY);
        return bind(listener, (const struct sockaddr *)ipv4, sizeof *ipv4);
    }
    // All zeros is in6addr_any; IPv4 clients arrive as mapped addresses.
    struct sockaddr_in6 *any = (struct sockaddr_in6 *)&address;
    any->sin6_family = AF_INET6;
    any->sin6_port = htons(ListenPort);
    DWORD v6only = 0;
    setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, (const char *)&v6only, sizeof v6only);
    return bind(listener, (const struct sockaddr *)any, sizeof *any);
}

// Creates the socket of the family asked for; a system without IPv6 gets an IPv4 one, said once.
static SOCKET CreateListener(bool *ipv6) {
    if (!*ipv6)
        return socket(AF_INET, SOCK_STREAM, 0);
    SOCKET listener = socket(AF_INET6, SOCK_STREAM, 0);
    if (listener != INVALID_SOCKET || WSAGetLastError() != WSAEAFNOSUPPORT)
        return listener;
    LogLine("IPv6 is off on this system: listening for IPv4 clients only.");
    *ipv6 = false;
    return socket(AF_INET, SOCK_STREAM, 0);
}

// Creates and binds the listening socket; INVALID_SOCKET after logging and reporting a failure.
static SOCKET OpenListener(bool inService) {
    ReadListenerSettings(&Settings);
    bool ipv6 = Settings.ipv6;
    SOCKET listener = CreateListener(&ipv6);
    if (listener == INVALID_SOCKET) {
        LogSocketError("Error: no socket: %d");
        ReportListenerFailure(inService, EXIT_NO_SOCKET);
        return INVALID_SOCKET;
    }
    if (BindAnyAddress(listener, ipv6) == SOCKET_ERROR) {
        LogSocketError("Error: couldn't bind: %d");
        closesocket(listener);
        ReportListenerFailure(inService, EXIT_NO_BIND);
        return INVALID_SOCKET;
    }
    return listener;
}

// Arms the instance's idle time-out on a connection: a receive then fails after that long silent.
static void ArmIdleTimeout(SOCKET connection) {
    if (Settings.idleSeconds == 0)
        return;
    // Beyond 49 days the milliseconds would wrap: such a time-out is as good as the longest one.
    DWORD seconds = Settings.idleSeconds < 4294967 ? Settings.idleSeconds : 4294967;
    DWORD milliseconds = seconds * 1000;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, (const char *)&milliseconds,
               sizeof milliseconds);
}

// Writes a console instance's configuration once its socket listens, so a run that binds but then
// cannot listen (two runs for one port started at once) never changes the printer of the run
// that serves. False, after logging, when it cannot be written: the run must not serve, since
// its jobs would go to the printer of an earlier run.
static bool ConfigurationInPlace(void) {
    LONG status = WritePendingInstanceConfig();
    if (status == ERROR_SUCCESS)
        return true;
    char line[LINE_BUFFER_SIZE];
    FormatBounded(line, sizeof line, "Error: couldn't write configuration: %d", (int)status);
    LogLine(line);
    NoteRelayFailure(EXIT_NO_CONFIGURATION);
    return false;
}

// Listens and serves connections one after another until listen fails.
int RunPrintListener(bool inService) {
    SOCKET listener = OpenListener(inService);
    if (listener == INVALID_SOCKET)
        return 0;
    // listen is called again after every connection, served or not, to re-arm the socket.
    while (listen(listener, LISTEN_BACKLOG) != SOCKET_ERROR) {
        if (!ConfigurationInPlace()) {
            closesocket(listener);
            return 0;
        }
        // Announced only while clients can connect.
        StartAdvertising();
        // The platform's part between two jobs: on Linux the service's life under systemd.
        HostBetweenJobs(listener, ConsolePrinterName(), LogLine);
        struct sockaddr_storage peer;
        int peerSize = sizeof peer;
        memset(&peer, 0, sizeof peer);
        SOCKET connection = accept(listener, (struct sockaddr *)&peer, &peerSize);
        if (connection == INVALID_SOCKET)
            continue;
        if (PeerIsGone(&peer)) {
            closesocket(connection);
            continue;
        }
        ArmIdleTimeout(connection);
        ForwardJob(connection, &peer);
        closesocket(connection);
    }
    StopAdvertising();
    ReportListenerFailure(inService, EXIT_NO_LISTEN);
    closesocket(listener);
    return 1;
}

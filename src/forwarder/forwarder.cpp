// Raw print forwarder: listens on ListenPort, serves one connection at a time, and copies each
// connection's bytes unchanged into one RAW job on the configured printer.
//
// No time-outs and no socket options: a client that neither sends nor closes holds the listener.
// Data streams through one 1024-byte buffer; nothing is ever sent back to the client.

#include "forwarder/forwarder.h"

#include "advertise/advertise.h"
#include "common/common.h"
#include "config/config.h"

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

// Logs the accept line with the printer and the peer's address, first byte first; a name too
// long for the line is cut, never the address.
static void LogAccept(const struct sockaddr_in *peer) {
    char tail[32];
    char line[LINE_BUFFER_SIZE];
    const unsigned char *address = (const unsigned char *)&peer->sin_addr;
    FormatBounded(tail, sizeof tail, " from %d.%d.%d.%d", address[0], address[1], address[2],
                  address[3]);
    FormatNameLine(line, sizeof line, "Accept print job for ", PrinterName, tail);
    LogLine(line);
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
static void ForwardJob(SOCKET connection, const struct sockaddr_in *peer) {
    char buffer[RECEIVE_CHUNK];
    int received;

    ReadInstanceConfig(false);
    LogAccept(peer);
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
static bool PeerIsGone(const struct sockaddr_in *peer) {
    return peer->sin_addr.s_addr == htonl(INADDR_ANY);
}

// Creates and binds the listening socket; INVALID_SOCKET after logging and reporting a failure.
static SOCKET OpenListener(bool inService) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener == INVALID_SOCKET) {
        LogSocketError("Error: no socket: %d");
        ReportListenerFailure(inService, EXIT_NO_SOCKET);
        return INVALID_SOCKET;
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(ListenPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(listener, (const struct sockaddr *)&address, sizeof address) == SOCKET_ERROR) {
        LogSocketError("Error: couldn't bind: %d");
        closesocket(listener);
        ReportListenerFailure(inService, EXIT_NO_BIND);
        return INVALID_SOCKET;
    }
    return listener;
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
        struct sockaddr_in peer;
        int peerSize = sizeof peer;
        memset(&peer, 0, sizeof peer);
        SOCKET connection = accept(listener, (struct sockaddr *)&peer, &peerSize);
        if (connection == INVALID_SOCKET)
            continue;
        if (PeerIsGone(&peer)) {
            closesocket(connection);
            continue;
        }
        ForwardJob(connection, &peer);
        closesocket(connection);
    }
    StopAdvertising();
    ReportListenerFailure(inService, EXIT_NO_LISTEN);
    closesocket(listener);
    return 1;
}

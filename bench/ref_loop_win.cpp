// Benchmark reference: the bare relay loop and nothing else: accept, OpenPrinterA,
// StartDocPrinterA (RAW), recv 1024 / WritePrinter, ClosePrinter. Built for Windows with MinGW,
// and for Linux against the host layer, so both platforms have a reference through their spooler.
//   ref_loop_win PORT "Printer Name"
#include "platform/platform.h"

#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)atoi(argv[1]));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(listener, 2) != 0)
        return 1;
    static char name[] = "Forwarded Job", type[] = "RAW";
    for (;;) {
        SOCKET connection = accept(listener, NULL, NULL);
        if (connection == INVALID_SOCKET)
            continue;
        HANDLE printer;
        DOC_INFO_1A document = {name, NULL, type};
        if (OpenPrinterA(argv[2], &printer, NULL)) {
            if (StartDocPrinterA(printer, 1, (LPBYTE)&document)) {
                char buffer[1024];
                int received;
                while ((received = recv(connection, buffer, sizeof buffer, 0)) > 0) {
                    DWORD written = 0;
                    WritePrinter(printer, buffer, (DWORD)received, &written);
                }
            }
            ClosePrinter(printer);
        }
        closesocket(connection);
    }
}

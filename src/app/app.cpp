// Command front end: resets the log, recognises the command word, decides the port and the
// instance name, and runs exactly one mode.

#include "app/app.h"

#include "advertise/advertise.h"
#include "common/common.h"
#include "config/config.h"
#include "forwarder/forwarder.h"
#include "service/service.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

enum RunMode { MODE_INSTALL, MODE_REMOVE, MODE_STANDALONE, MODE_BACKGROUND, MODE_SERVICE };

struct Command {
    const char *word;
    int fixedArgs; // arguments after the program name that must be present
};

// A row's position selects the run mode.
static const Command CommandTable[] = {
    {"INSTALL", 2}, {"REMOVE", 1}, {"STANDALONE", 2}, {"BACKGROUND", 2}, {"PRIVATE_SERVICE", 1},
};

enum { DEFAULT_PORT = 9100, COMMAND_COUNT = sizeof CommandTable / sizeof CommandTable[0] };

// Returns the program's base name: argument 0 after its last ':', '/' or '\'.
static const char *ProgramBaseName(const char *programPath) {
    const char *base = programPath != NULL ? programPath : "";
    for (const char *c = base; *c != '\0'; c++) {
        if (*c == ':' || *c == '/' || *c == '\\')
            base = c + 1;
    }
    return base;
}

// Prints the usage text on standard error.
static void PrintUsage(const char *programPath) {
    const char *name = ProgramBaseName(programPath);
    fprintf(stderr, "%s INSTALL \"Printer Name\" [port]\n", name);
    fprintf(stderr, "%s REMOVE [port]\n", name);
    fprintf(stderr, "%s STANDALONE \"Printer Name\" [port]\n", name);
    fprintf(stderr, "%s BACKGROUND \"Printer Name\" [port]\n", name);
    fprintf(stderr, "If port is unspecified, 9100 is assumed.\n");
}

// Converts text like atoi, clamping values beyond the signed 32-bit range.
static int32_t ParseDecimal(const char *text) {
    const int64_t limit = (int64_t)INT32_MAX + 1;
    int64_t magnitude = 0;
    bool negative = false;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        text++;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    for (; *text >= '0' && *text <= '9'; text++) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > limit)
            magnitude = limit; // stays clamped, so no overflow however many digits follow
    }
    if (negative)
        return (int32_t)-magnitude;
    return magnitude > INT32_MAX ? INT32_MAX : (int32_t)magnitude;
}

// Decides the port from the optional argument: its low 16 bits when positive, else the default.
// The service process keeps a 0 as 0: it is the number of the instance it was installed as.
static unsigned short PortFromArgument(const char *text, int mode) {
    int32_t value = ParseDecimal(text);
    if (value == 0 && mode == MODE_SERVICE)
        return 0;
    if (value <= 0)
        return DEFAULT_PORT;
    return (unsigned short)(value & 0xFFFF);
}

// Decides the port of a command line with the row's argument count; false for a wrong count,
// and for a relay or INSTALL whose port decides to 0: the system would pick a port reported
// nowhere, and every such run would share the key of port 0.
static bool DecidePort(int mode, int argumentCount, char **arguments, unsigned short *port) {
    int fixedArgs = CommandTable[mode].fixedArgs;
    *port = DEFAULT_PORT;
    if (argumentCount == fixedArgs + 2)
        *port = PortFromArgument(arguments[fixedArgs + 1], mode);
    else if (argumentCount != fixedArgs + 1)
        return false;
    bool relays = mode == MODE_INSTALL || mode == MODE_STANDALONE || mode == MODE_BACKGROUND;
    return !(relays && *port == 0);
}

// Finds the command word, ignoring letter case; -1 when it is not in the table.
static int FindCommand(const char *word) {
    for (int row = 0; row < COMMAND_COUNT; row++) {
        if (_stricmp(word, CommandTable[row].word) == 0)
            return row;
    }
    return -1;
}

// Tells whether an ANSI argument holds exactly what was typed: always under a UTF-8 active code
// page, else only when it matches the wide command line. The wide calls only detect.
static bool ArgumentIsExact(int index, const char *ansi) {
    if (GetACP() == CP_UTF8)
        return true;
    int count = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == NULL)
        return false;
    bool exact = index < count && AnsiMatchesWide(ansi, wide[index], PATH_BUFFER_SIZE);
    LocalFree((HLOCAL)wide);
    return exact;
}

// The command line's printer name, or an empty one, which no spooler opens, when the system could
// not pass the name on exactly: its jobs then fail instead of reaching a look-alike printer.
static const char *PrinterArgument(char **arguments) {
    return ArgumentIsExact(2, arguments[2]) ? arguments[2] : "";
}

// Relays until the listener cannot be created or bound, or its configuration cannot be written;
// the configuration is written only once the socket listens, so a run that cannot hold the port
// leaves the running relay's key alone.
static void RunConsoleRelay(const char *printerName, bool detach) {
    ConfigKeyTemplate = VendorKeyTemplate;
    SetPendingInstanceConfig(printerName, ListenPort);
    if (detach)
        FreeConsole();
    NetworkStartup();
    while (RunPrintListener(false) == 1) {
    }
    NetworkCleanup();
}

// Runs the action of the selected mode.
static void RunMode(int mode, char **arguments) {
    switch (mode) {
    case MODE_INSTALL:
        InstallService(arguments[0], PrinterArgument(arguments), ListenPort);
        break;
    case MODE_REMOVE:
        RemoveService();
        break;
    case MODE_STANDALONE:
    case MODE_BACKGROUND:
        RunConsoleRelay(PrinterArgument(arguments), mode == MODE_BACKGROUND);
        break;
    case MODE_SERVICE:
        RunServiceDispatcher();
        LogLine("Ferrolink exit");
        break;
    }
}

// The process entry: every run starts a fresh log, then selects and runs one mode.
int FerrolinkMain(int argumentCount, char **arguments) {
    const char *programPath = argumentCount > 0 ? arguments[0] : NULL;
    NoteRelayFailure(0);
    ResetAdvertising();
    ResetLog();
    LogLine("KVFerrolink 1.0");
    LogLine("Ferrolink starting...");
    if (argumentCount <= 1) {
        PrintUsage(programPath);
        return 1;
    }
    int mode = FindCommand(arguments[1]);
    if (mode < 0) {
        PrintUsage(programPath);
        return 1;
    }
    unsigned short port;
    if (!DecidePort(mode, argumentCount, arguments, &port)) {
        PrintUsage(programPath);
        return 1;
    }
    ListenPort = port;
    RequestedPort = port;
    FormatBounded(InstanceName, sizeof InstanceName, "KVFerrolink_%d", port);
    RunMode(mode, arguments);
    return RelayExitStatus();
}

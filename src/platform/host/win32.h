// Host layer: the Win32 subset that Ferrolink calls, declared for Linux.
//
// Names, types, constants and error numbers are those of Windows, so the system's code compiles
// unchanged. The implementations live beside this header (registry, sockets, spooler, system,
// service manager); unit tests link their own doubles instead.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef LONG LSTATUS;
typedef char CHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef DWORD *LPDWORD;
typedef void *LPVOID;
typedef void *HANDLE;
typedef HANDLE *LPHANDLE;
typedef void *HMODULE;
typedef DWORD REGSAM;
typedef unsigned short u_short;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef struct SC_HANDLE__ *SC_HANDLE;
typedef struct SERVICE_STATUS_HANDLE__ *SERVICE_STATUS_HANDLE;
typedef uintptr_t SOCKET;

// Error numbers (GetLastError and WSAGetLastError).
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_FAULT 29L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MORE_DATA 234L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_INVALID_PRINTER_NAME 1801L
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAENOTSOCK 10038
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAENOTCONN 10057
#define WSAETIMEDOUT 10060
#define WSANOTINITIALISED 10093

// Registry.
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002)
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                        REGSAM access, void *securityAttributes, PHKEY result, LPDWORD disposition);
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE *data,
                       DWORD size);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size);
LSTATUS RegCloseKey(HKEY key);

// Print spooler.
typedef struct _DOC_INFO_1A {
    LPSTR pDocName;
    LPSTR pOutputFile;
    LPSTR pDatatype;
} DOC_INFO_1A;
typedef struct _PRINTER_DEFAULTSA *LPPRINTER_DEFAULTSA;

BOOL OpenPrinterA(LPSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSA defaults);
DWORD StartDocPrinterA(HANDLE printer, DWORD level, LPBYTE docInfo);
BOOL WritePrinter(HANDLE printer, LPVOID buffer, DWORD count, LPDWORD written);
BOOL ClosePrinter(HANDLE printer);
BOOL AbortPrinter(HANDLE printer);

// What the spooler knows of a printer (level 2); this layer fills the driver name (the make and
// model) and the location, and leaves every other field empty.
typedef struct _PRINTER_INFO_2A {
    LPSTR pServerName;
    LPSTR pPrinterName;
    LPSTR pShareName;
    LPSTR pPortName;
    LPSTR pDriverName;
    LPSTR pComment;
    LPSTR pLocation;
    void *pDevMode;
    LPSTR pSepFile;
    LPSTR pPrintProcessor;
    LPSTR pDatatype;
    LPSTR pParameters;
    void *pSecurityDescriptor;
    DWORD Attributes;
    DWORD Priority;
    DWORD DefaultPriority;
    DWORD StartTime;
    DWORD UntilTime;
    DWORD Status;
    DWORD cJobs;
    DWORD AveragePPM;
} PRINTER_INFO_2A;

BOOL GetPrinterA(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed);

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;
typedef uint64_t DWORDLONG;
typedef struct _DRIVER_INFO_6A {
    DWORD cVersion;
    LPSTR pName;
    LPSTR pEnvironment;
    LPSTR pDriverPath;
    LPSTR pDataFile;
    LPSTR pConfigFile;
    LPSTR pHelpFile;
    LPSTR pDependentFiles;
    LPSTR pMonitorName;
    LPSTR pDefaultDataType;
    LPSTR pszzPreviousNames;
    FILETIME ftDriverDate;
    DWORDLONG dwlDriverVersion;
    LPSTR pszMfgName;
    LPSTR pszOEMUrl;
    LPSTR pszHardwareID;
    LPSTR pszProvider;
} DRIVER_INFO_6A;
#define ERROR_UNKNOWN_PRINTER_DRIVER 1797L
BOOL GetPrinterDriverA(HANDLE printer, LPSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                       LPDWORD needed);

// Windows Sockets.
#define AF_INET 2
#define AF_INET6 23
#define SOCK_STREAM 1
#define SOL_SOCKET 0xffff
#define SO_LINGER 0x0080
#define SO_RCVTIMEO 0x1006
#define IPPROTO_IPV6 41
#define IPV6_V6ONLY 27
#define INADDR_ANY ((uint32_t)0x00000000)
#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)
#define MAKEWORD(low, high) ((WORD)(((BYTE)(low)) | ((WORD)((BYTE)(high))) << 8))

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
} WSADATA, *LPWSADATA;
struct in_addr {
    uint32_t s_addr;
};
struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};
struct sockaddr_in {
    short sin_family;
    u_short sin_port;
    struct in_addr sin_addr;
    char sin_zero[8];
};
struct in6_addr {
    unsigned char s6_addr[16];
};
struct sockaddr_in6 {
    short sin6_family;
    u_short sin6_port;
    uint32_t sin6_flowinfo;
    struct in6_addr sin6_addr;
    uint32_t sin6_scope_id;
};
struct sockaddr_storage {
    u_short ss_family;
    char ss_data[126];
} __attribute__((aligned(8)));
struct linger {
    u_short l_onoff;
    u_short l_linger;
};

int WSAStartup(WORD version, LPWSADATA data);
int WSACleanup(void);
int WSAGetLastError(void);
SOCKET socket(int family, int type, int protocol);
int bind(SOCKET s, const struct sockaddr *address, int length);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, struct sockaddr *address, int *length);
int recv(SOCKET s, char *buffer, int length, int flags);
int setsockopt(SOCKET s, int level, int name, const char *value, int length);
int closesocket(SOCKET s);
u_short htons(u_short value);
uint32_t htonl(uint32_t value);

// Services.
#define SERVICE_WIN32_OWN_PROCESS 0x10
#define SERVICE_WIN32_SHARE_PROCESS 0x20
#define SERVICE_WIN32 (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)
#define SERVICE_AUTO_START 2
#define SERVICE_ERROR_NORMAL 1
#define SERVICE_ALL_ACCESS 0xF01FF
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_STOPPED 1
#define SERVICE_START_PENDING 2
#define SERVICE_RUNNING 4
#define SERVICE_ACCEPT_STOP 1
#define SERVICE_ACCEPT_SHUTDOWN 4
#define SERVICE_CONTROL_STOP 1
#define SERVICE_CONTROL_INTERROGATE 4
#define SERVICE_CONTROL_SHUTDOWN 5

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;
typedef void (*LPSERVICE_MAIN_FUNCTIONA)(DWORD argumentCount, LPSTR *arguments);
typedef void (*LPHANDLER_FUNCTION)(DWORD control);
typedef struct _SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
} SERVICE_TABLE_ENTRYA;

SC_HANDLE OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access);
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCSTR binaryPath,
                         LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies, LPCSTR account,
                         LPCSTR password);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL StartServiceA(SC_HANDLE service, DWORD argumentCount, LPCSTR *arguments);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR name, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

// Process, console, threads and the C run-time's Windows extensions.
typedef struct _SRWLOCK {
    void *Ptr;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT                                                                               \
    { 0 }
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYNO 0x40
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
// The system's error number of the C run-time's last failed call, per thread, as on Windows.
unsigned long *HostDosErrno(void);
#define _doserrno (*HostDosErrno())

// Text: the active code page, and the wide forms that tell what the ANSI ones lost.
typedef char16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef unsigned int UINT;
typedef void *HLOCAL;
#define CP_ACP 0
#define CP_UTF8 65001
#define WC_NO_BEST_FIT_CHARS 0x400

UINT GetACP(void);
BOOL IsDBCSLeadByte(BYTE testChar);
LPWSTR GetCommandLineW(void);
LPWSTR *CommandLineToArgvW(LPCWSTR commandLine, int *count);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR multiByte,
                        int multiByteSize, LPCSTR defaultChar, BOOL *usedDefaultChar);
HLOCAL LocalFree(HLOCAL memory);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteCount,
                        LPWSTR wide, int wideSize);

// Modules: a call that only some systems offer is looked up at run time. Declared for the tests'
// double of dnsapi.dll only: on Linux the product advertises through Avahi, and finds no module.
typedef int (*FARPROC)(void);
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);

// DNS-SD (dnsapi.dll): registering a service on the local network by multicast DNS. The calls are
// asynchronous: the completion runs on another thread and hands over an instance to free.
typedef WCHAR *PWSTR;
typedef const WCHAR *PCWSTR;
typedef DWORD IP4_ADDRESS, *PIP4_ADDRESS;
typedef struct _IP6_ADDRESS {
    DWORD IP6Dword[4];
} IP6_ADDRESS, *PIP6_ADDRESS;
typedef struct _DNS_SERVICE_INSTANCE {
    LPWSTR pszInstanceName;
    LPWSTR pszHostName;
    IP4_ADDRESS *ip4Address;
    IP6_ADDRESS *ip6Address;
    WORD wPort;
    WORD wPriority;
    WORD wWeight;
    DWORD dwPropertyCount;
    PWSTR *keys;
    PWSTR *values;
    DWORD dwInterfaceIndex;
} DNS_SERVICE_INSTANCE, *PDNS_SERVICE_INSTANCE;
typedef struct _DNS_SERVICE_CANCEL {
    void *reserved;
} DNS_SERVICE_CANCEL, *PDNS_SERVICE_CANCEL;
typedef void DNS_SERVICE_REGISTER_COMPLETE(DWORD status, void *queryContext,
                                           PDNS_SERVICE_INSTANCE instance);
typedef DNS_SERVICE_REGISTER_COMPLETE *PDNS_SERVICE_REGISTER_COMPLETE;
typedef struct _DNS_SERVICE_REGISTER_REQUEST {
    DWORD Version;
    DWORD InterfaceIndex;
    PDNS_SERVICE_INSTANCE pServiceInstance;
    PDNS_SERVICE_REGISTER_COMPLETE pRegisterCompletionCallback;
    void *pQueryContext;
    HANDLE hCredentials;
    BOOL unicastEnabled;
} DNS_SERVICE_REGISTER_REQUEST, *PDNS_SERVICE_REGISTER_REQUEST;
#define DNS_QUERY_REQUEST_VERSION1 1
#define DNS_REQUEST_PENDING 9506L

PDNS_SERVICE_INSTANCE DnsServiceConstructInstance(PCWSTR serviceName, PCWSTR hostName,
                                                  PIP4_ADDRESS ip4, PIP6_ADDRESS ip6, WORD port,
                                                  WORD priority, WORD weight, DWORD propertiesCount,
                                                  PCWSTR *keys, PCWSTR *values);
void DnsServiceFreeInstance(PDNS_SERVICE_INSTANCE instance);
DWORD DnsServiceRegister(PDNS_SERVICE_REGISTER_REQUEST request, PDNS_SERVICE_CANCEL cancel);
DWORD DnsServiceDeRegister(PDNS_SERVICE_REGISTER_REQUEST request, PDNS_SERVICE_CANCEL cancel);
DWORD DnsServiceRegisterCancel(PDNS_SERVICE_CANCEL cancel);

DWORD GetLastError(void);
void SetLastError(DWORD error);
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
typedef enum _COMPUTER_NAME_FORMAT {
    ComputerNameNetBIOS,
    ComputerNameDnsHostname,
} COMPUTER_NAME_FORMAT;
BOOL GetComputerNameExA(COMPUTER_NAME_FORMAT type, LPSTR buffer, LPDWORD size);
BOOL FreeConsole(void);
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);
int _stricmp(const char *left, const char *right);
FILE *_fsopen(const char *fileName, const char *mode, int shareFlag);
void Sleep(DWORD milliseconds);

// Not a Windows call: the exit status of a run whose relay noted the failure code (the service's
// stop code, 0 for none). Linux hands it on, so that systemd sees a relay that could not serve.
int HostExitStatus(DWORD failureCode);

#include "host_seams.h"

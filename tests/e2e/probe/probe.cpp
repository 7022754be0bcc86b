// Test probe for Windows, run under Wine by the end-to-end tests:
//   probe reg "Key\Path" ValueName   prints a value of HKEY_LOCAL_MACHINE exactly as stored
//   probe hold FILE SECONDS          holds FILE open with no sharing for SECONDS
//   probe read FILE SECONDS          holds FILE open to read, sharing everything, as a viewer does
//   probe version FILE               prints FILE's version resource as Explorer reads it
#include <windows.h>

#include <stdio.h>
#include <string.h>

// Prints "type=<n> size=<n> hex=<bytes>", or "missing <error>".
static int PrintValue(const char *path, const char *name) {
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        printf("missing %ld\n", status);
        return 1;
    }
    static BYTE data[65536];
    DWORD type = 0, size = sizeof data;
    status = RegQueryValueExA(key, name, NULL, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        printf("missing %ld\n", status);
        return 1;
    }
    printf("type=%lu size=%lu hex=", type, size);
    for (DWORD i = 0; i < size; i++)
        printf("%02x", data[i]);
    printf("\n");
    return 0;
}

// Opens the file exclusively, or as a reader that shares it with everyone, says so, and keeps it
// open for a while.
static int HoldFile(const char *path, int seconds, bool reader) {
    DWORD access = reader ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    DWORD share = reader ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
    HANDLE file = CreateFileA(path, access, share, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        printf("failed %lu\n", GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    Sleep(seconds * 1000);
    CloseHandle(file);
    return 0;
}

// Prints the fixed file version and each string of the US English block, "Name=value" a line.
static int PrintVersion(const char *path) {
    static BYTE info[65536];
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0 || size > sizeof info || !GetFileVersionInfoA(path, 0, size, info)) {
        printf("failed %lu\n", GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (VerQueryValueA(info, "\\", (void **)&fixed, &length) && length >= sizeof *fixed)
        printf("Fixed=%lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
               fixed->dwFileVersionMS & 0xffff, fixed->dwFileVersionLS >> 16,
               fixed->dwFileVersionLS & 0xffff);
    static const char *names[] = {"ProductName",   "FileDescription", "CompanyName",
                                  "FileVersion",   "ProductVersion",  "OriginalFilename",
                                  "LegalCopyright"};
    for (const char *name : names) {
        char query[128];
        snprintf(query, sizeof query, "\\StringFileInfo\\040904B0\\%s", name);
        char *value = NULL;
        if (VerQueryValueA(info, query, (void **)&value, &length))
            printf("%s=%s\n", name, value);
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "reg") == 0)
        return PrintValue(argv[2], argv[3]);
    if (argc == 4 && (strcmp(argv[1], "hold") == 0 || strcmp(argv[1], "read") == 0))
        return HoldFile(argv[2], atoi(argv[3]), argv[1][0] == 'r');
    if (argc == 3 && strcmp(argv[1], "version") == 0)
        return PrintVersion(argv[2]);
    fprintf(stderr,
            "usage: probe reg KEY VALUE | probe hold|read FILE SECONDS | probe version FILE\n");
    return 2;
}

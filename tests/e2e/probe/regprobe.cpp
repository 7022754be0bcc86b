// Test probe for Windows: prints a registry value of HKEY_LOCAL_MACHINE exactly as stored, so
// tests can check its type and bytes. Usage: regprobe "Key\Path" ValueName
#include <windows.h>

#include <stdio.h>

// Prints "type=<n> size=<n> hex=<bytes>", or "missing <error>".
int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: regprobe KEY VALUE\n");
        return 2;
    }
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        printf("missing %ld\n", status);
        return 1;
    }
    static BYTE data[65536];
    DWORD type = 0, size = sizeof data;
    status = RegQueryValueExA(key, argv[2], NULL, &type, data, &size);
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

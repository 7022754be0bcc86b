// Fuzz target: reading the instance configuration from values stored by any means. The input
// gives the types and bytes of the "Printer" and "Port" values; the read must always leave a
// terminated printer name of at most 255 characters, none (never the old one) when the value
// cannot be read whole as text, and change the port only from a 32-bit number.

#include "fakes/fake_platform.h"

#include "common/common.h"
#include "config/config.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return 0;
    fake::Reset();
    FormatBounded(InstanceName, sizeof InstanceName, "KVFerrolink_%d", 9100);
    ConfigKeyTemplate = ServiceKeyTemplate;
    const std::string key = "System\\CurrentControlSet\\Services\\KVFerrolink_9100";
    DWORD printerType = data[0] % 12;
    DWORD portType = data[1] % 12;
    size_t split = 3 + (data[2] * 3 % (size - 2));
    if (split > size)
        split = size;
    std::string printer((const char *)data + 3, split - 3);
    std::string port((const char *)data + split, size - split);
    if (data[2] & 1)
        fake::SetValue(key, "Printer", printerType, printer);
    if (data[2] & 2)
        fake::SetValue(key, "Port", portType, port);

    memset(PrinterName, 0x55, sizeof PrinterName); // no terminator anywhere before the read
    PrinterName[3] = '\0';
    ListenPort = 1234;
    ReadInstanceConfig(true);

    const void *end = memchr(PrinterName, '\0', sizeof PrinterName);
    if (end == nullptr)
        __builtin_trap();
    bool text =
        printerType == REG_SZ || printerType == REG_EXPAND_SZ || printerType == REG_MULTI_SZ;
    bool readable = (data[2] & 1) && text && printer.size() <= 256;
    if (!readable && PrinterName[0] != '\0')
        __builtin_trap();
    if (readable && strncmp(PrinterName, printer.c_str(), strlen(PrinterName)) != 0)
        __builtin_trap();
    bool number = (data[2] & 2) && portType == REG_DWORD && port.size() == 4;
    if (!number && ListenPort != 1234)
        __builtin_trap();
    return 0;
}

// Instance configuration store: exact values written, and reads that always leave a sound name.

#include "fakes/test_support.h"

#include <cstring>

class ConfigTest : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        FormatBounded(InstanceName, sizeof InstanceName, "KVFerrolink_%d", 9100);
        strcpy(PrinterName, "Previous");
    }
    void StorePrinter(DWORD type, const std::string &bytes) {
        fake::SetValue(ServiceKey(9100), "Printer", type, bytes);
    }
};

TEST_F(ConfigTest, PrinterNamesRoundTripUpTo255Characters) {
    for (size_t length : {0u, 1u, 213u, 214u, 255u}) {
        std::string name(length, 'p');
        WriteInstanceConfig(name.c_str(), 9100);
        EXPECT_EQ(length + 1, fake::GetValue(ServiceKey(9100), "Printer")->bytes.size());
        ReadInstanceConfig(false);
        EXPECT_EQ(name, PrinterName);
    }
    // A longer name is stored in full but cannot be read into the buffer: no name, never the last.
    for (size_t length : {256u, 1000u}) {
        WriteInstanceConfig(std::string(length, 'q').c_str(), 9100);
        EXPECT_EQ(length + 1, fake::GetValue(ServiceKey(9100), "Printer")->bytes.size());
        ReadInstanceConfig(false);
        EXPECT_STREQ("", PrinterName);
    }
}

TEST_F(ConfigTest, StoredValuesOfOtherShapesStillGiveATerminatedName) {
    // Each row is read after a good name was read: what cannot be read whole, as text, is no name.
    struct Row {
        DWORD type;
        std::string bytes;
        std::string name;
    };
    const Row table[] = {
        {REG_SZ, "Office", "Office"},                           // no terminating NUL
        {REG_SZ, std::string(255, 'z'), std::string(255, 'z')}, // no NUL, 255 characters
        {REG_SZ, std::string(256, 'z'), ""},                    // fills every byte: a cut name
        {REG_SZ, std::string(257, 'y'), ""},                    // larger than the buffer
        {REG_SZ, std::string("", 0), ""},                       // empty value
        {REG_EXPAND_SZ, std::string("Lab\0", 4), "Lab"},
        {REG_MULTI_SZ, std::string("Lab\0Other\0\0", 11), "Lab"}, // the first string
        {REG_BINARY, std::string("Lab\0junk", 8), ""},            // not text
        {REG_DWORD, std::string("Lab\0", 4), ""},
    };
    for (const Row &row : table) {
        StorePrinter(REG_SZ, std::string("Good\0", 5));
        ReadInstanceConfig(false);
        ASSERT_STREQ("Good", PrinterName);
        StorePrinter(row.type, row.bytes);
        ReadInstanceConfig(false);
        EXPECT_EQ(row.name, PrinterName) << row.type << " " << row.bytes.substr(0, 12);
    }
}

TEST_F(ConfigTest, PortIsReadOnlyWhenAskedAndOnlyFromA32BitNumber) {
    WriteInstanceConfig("HP", 9105);
    ReadInstanceConfig(false);
    EXPECT_EQ(9100, ListenPort);
    ReadInstanceConfig(true);
    EXPECT_EQ(9105, ListenPort);
    EXPECT_EQ(9100u, RequestedPort);

    fake::SetValue(ServiceKey(9100), "Port", REG_DWORD, std::string("\x05\x00\x01\x00", 4));
    ReadInstanceConfig(true);
    EXPECT_EQ(5, ListenPort) << "low 16 bits of 0x10005";

    const std::pair<DWORD, std::string> ignored[] = {
        {REG_SZ, std::string("123", 4)},         // text of four bytes
        {REG_DWORD, std::string("\x01\x02", 2)}, // too short
        {REG_SZ, "9106"},
        {REG_DWORD, std::string(8, '\x01')},             // too long for the number
        {REG_DWORD, std::string(4, '\0')},               // 0: the system would pick a port
        {REG_DWORD, std::string("\x00\x00\x01\x00", 4)}, // 65536, whose low 16 bits are 0
    };
    for (const auto &[type, bytes] : ignored) {
        fake::SetValue(ServiceKey(9100), "Port", type, bytes);
        ReadInstanceConfig(true);
        EXPECT_EQ(5, ListenPort);
    }
}

TEST_F(ConfigTest, UnwritableRegistryIsReportedToTheWriterAndReadsAsNoPrinter) {
    fake::Get().registryFails = true;
    EXPECT_EQ(ERROR_ACCESS_DENIED, WriteInstanceConfig("HP", 9100));
    ReadInstanceConfig(true);
    EXPECT_TRUE(fake::Get().registry.empty());
    EXPECT_STREQ("", PrinterName);

    fake::Get().registryFails = false;
    fake::Get().setValueError = ERROR_WRITE_FAULT;
    EXPECT_EQ(ERROR_WRITE_FAULT, WriteInstanceConfig("HP", 9100));
    fake::Get().setValueError = 0;
    EXPECT_EQ(ERROR_SUCCESS, WriteInstanceConfig("HP", 9100));
}

TEST_F(ConfigTest, ConsoleInstancesUseSeparateVendorKeys) {
    ConfigKeyTemplate = VendorKeyTemplate;
    WriteInstanceConfig("A", 9100);
    FormatBounded(InstanceName, sizeof InstanceName, "KVFerrolink_%d", 9101);
    WriteInstanceConfig("B", 9101);
    EXPECT_EQ(std::string("A\0", 2), fake::GetValue(VendorKey(9100), "Printer")->bytes);
    EXPECT_EQ(std::string("B\0", 2), fake::GetValue(VendorKey(9101), "Printer")->bytes);
}

TEST_F(ConfigTest, NamesTheCodePageCannotCarryAreNoNames) {
    struct Row {
        UINT codePage;
        DWORD type;
        std::string bytes; // what the ANSI read gives
        std::u16string wide;
        std::string name;
    };
    const std::string lab8 = "\xc5\x81"
                             "ab"; // "Łab" in UTF-8
    const Row rows[] = {
        {1252, REG_SZ, std::string("Lab\0", 4), u"\u0141ab", ""},           // best-fit look-alike
        {1252, REG_SZ, std::string("???\0", 4), u"\u041f\u0440\u0438", ""}, // default characters
        {1252, REG_SZ, std::string("Caf\xe9\0", 5), u"", "Caf\xe9"},        // in the code page
        {1252, REG_SZ, "Lab", u"", "Lab"},                                  // stored without NUL
        {1252, REG_BINARY, std::string("Real\0", 5), u"", ""},              // not text
        {1252, REG_MULTI_SZ, std::string("Lab\0\0", 5), u"\u0141ab", ""},   // a list, checked too
        {1252, REG_EXPAND_SZ, std::string("Lab\0", 4), u"\u0141ab", ""},
        {1252, REG_MULTI_SZ, std::string("Caf\xe9\0\0", 6), u"", "Caf\xe9"},
        {1252, REG_SZ, std::string(256, 'z'), u"", ""},    // a cut name: none
        {CP_UTF8, REG_SZ, lab8 + '\0', u"\u0141ab", lab8}, // UTF-8 carries all
    };
    for (const Row &row : rows) {
        fake::Get().activeCodePage = row.codePage;
        strcpy(PrinterName, "Previous");
        StorePrinter(row.type, row.bytes);
        if (!row.wide.empty())
            fake::SetWideText(ServiceKey(9100), "Printer", row.wide);
        ReadInstanceConfig(false);
        EXPECT_EQ(row.name, PrinterName) << row.bytes.substr(0, 8);
    }
}

TEST_F(ConfigTest, SettingsTheServiceManagerHandedTakeTheKeysPlace) {
    fake::SetValue(ServiceKey(9100), "Advertise", REG_DWORD, std::string("\1\0\0\0", 4));
    fake::SetValue(ServiceKey(9100), "AdvertiseName", REG_SZ, std::string("Stored\0", 7));
    struct Row {
        const char *advertise, *name; // handed; nullptr: not handed
        bool on;
        const char *announced;
    } rows[] = {
        {nullptr, nullptr, true, "Stored"},
        {"0", "Front desk", false, ""},
        {"1", "Front desk", true, "Front desk"},
        {nullptr, "", true, ""},
    };
    for (const Row &row : rows) {
        fake::Get().handed.clear();
        if (row.advertise != nullptr)
            fake::Get().handed[HANDED_ADVERTISE] = row.advertise;
        if (row.name != nullptr)
            fake::Get().handed[HANDED_ADVERTISE_NAME] = row.name;
        char name[64] = "before";
        EXPECT_EQ(row.on, ReadAdvertiseSettings(name, sizeof name)) << row.announced;
        EXPECT_STREQ(row.announced, name);
    }
}

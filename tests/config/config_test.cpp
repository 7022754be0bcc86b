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
    // A longer name is stored in full but cannot be read into the buffer: the last name stays.
    for (size_t length : {256u, 1000u}) {
        WriteInstanceConfig(std::string(length, 'q').c_str(), 9100);
        EXPECT_EQ(length + 1, fake::GetValue(ServiceKey(9100), "Printer")->bytes.size());
        ReadInstanceConfig(false);
        EXPECT_EQ(std::string(255, 'p'), PrinterName);
    }
}

TEST_F(ConfigTest, StoredValuesOfOtherShapesStillGiveATerminatedName) {
    StorePrinter(REG_SZ, "Office"); // no terminating NUL
    ReadInstanceConfig(false);
    EXPECT_STREQ("Office", PrinterName);

    StorePrinter(REG_SZ, std::string(256, 'z')); // fills every byte, no NUL
    ReadInstanceConfig(false);
    EXPECT_EQ(std::string(255, 'z'), PrinterName);

    StorePrinter(REG_BINARY, std::string("Lab\0junk", 8));
    ReadInstanceConfig(false);
    EXPECT_STREQ("Lab", PrinterName);

    StorePrinter(REG_SZ, std::string(257, 'y')); // larger than the buffer: the last name stays
    ReadInstanceConfig(false);
    EXPECT_STREQ("Lab", PrinterName);

    StorePrinter(REG_SZ, std::string("", 0)); // empty value
    ReadInstanceConfig(false);
    EXPECT_STREQ("", PrinterName);
}

TEST_F(ConfigTest, MissingKeyOrValueKeepsTheLastName) {
    ReadInstanceConfig(true);
    EXPECT_STREQ("Previous", PrinterName);
    EXPECT_EQ(9100, ListenPort);
    fake::SetValue(ServiceKey(9100), "Description", REG_SZ, "x");
    ReadInstanceConfig(true);
    EXPECT_STREQ("Previous", PrinterName);
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
        {REG_DWORD, std::string(8, '\x01')}, // too long for the number
    };
    for (const auto &[type, bytes] : ignored) {
        fake::SetValue(ServiceKey(9100), "Port", type, bytes);
        ReadInstanceConfig(true);
        EXPECT_EQ(5, ListenPort);
    }
}

TEST_F(ConfigTest, UnwritableRegistryIsSilent) {
    fake::Get().registryFails = true;
    WriteInstanceConfig("HP", 9100);
    ReadInstanceConfig(true);
    EXPECT_TRUE(fake::Get().registry.empty());
    EXPECT_STREQ("Previous", PrinterName);
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
        {1252, REG_BINARY, std::string("Real\0", 5), u"", "Real"},          // passed on as stored
        {1252, REG_SZ, std::string(256, 'z'), u"", std::string(255, 'z')},  // cut as ever
        {CP_UTF8, REG_SZ, lab8 + '\0', u"\u0141ab", lab8},                  // UTF-8 carries all
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

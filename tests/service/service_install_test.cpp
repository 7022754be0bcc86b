// Service installation and removal: what is registered, what the console shows, what is written.

#include "fakes/test_support.h"

class InstallTest : public SystemTest {};

TEST_F(InstallTest, InstallCreatesStartsAndThenConfiguresTheService) {
    EXPECT_EQ(0, Run({"ferrolink", "INSTALL", "Office Printer", "9101"}));
    EXPECT_EQ("CreateService SUCCESS.\nService started.\n", out);
    ASSERT_EQ(1u, fake::Get().created.size());
    const fake::ServiceRecord &service = fake::Get().created[0];
    EXPECT_EQ("KVFerrolink_9101", service.name);
    EXPECT_EQ("KVFerrolink_9101", service.displayName);
    EXPECT_EQ("\"C:\\Program Files\\Ferrolink\\ferrolink.exe\" PRIVATE_SERVICE 9101",
              service.binaryPath);
    EXPECT_EQ(0xF01FFu, service.access);
    EXPECT_EQ(0x10u, service.type);
    EXPECT_EQ(2u, service.startType);
    EXPECT_EQ(1u, service.errorControl);
    EXPECT_FALSE(service.accountGiven);
    EXPECT_EQ((std::vector<std::string>{"CreateServiceA", "StartServiceA 0", "RegCreateKeyExA"}),
              fake::Get().events);
    EXPECT_EQ(std::string("Office Printer\0", 15),
              fake::GetValue(ServiceKey(9101), "Printer")->bytes);
    EXPECT_EQ(std::string("\x8d\x23\0\0", 4), fake::GetValue(ServiceKey(9101), "Port")->bytes);
    EXPECT_EQ(0, fake::Get().managerHandles);
    EXPECT_EQ(0, fake::Get().serviceHandles);
    EXPECT_EQ(2u, LogLines().size()) << "nothing is logged by installation";
}

TEST_F(InstallTest, BinaryPathFallsBackToArgumentZeroWhenTheModulePathIsUnknown) {
    fake::Get().moduleFails = true;
    Run({"C:\\relay\\relay.exe", "install", "HP"});
    ASSERT_EQ(1u, fake::Get().created.size());
    EXPECT_EQ("\"C:\\relay\\relay.exe\" PRIVATE_SERVICE 9100", fake::Get().created[0].binaryPath);
}

TEST_F(InstallTest, InstallFailures) {
    fake::Get().managerError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(0, Run({"ferrolink", "INSTALL", "HP"}));
    EXPECT_EQ("Error: ServiceManager 5\n", out);
    EXPECT_TRUE(fake::Get().events.empty());

    fake::Reset();
    fake::Get().createError = 1073;
    EXPECT_EQ(0, Run({"ferrolink", "INSTALL", "HP"}));
    EXPECT_EQ("Error: CreateService 1073\n", out);
    EXPECT_TRUE(fake::Get().registry.empty()) << "the existing service's key is left alone";
    EXPECT_EQ(0, fake::Get().managerHandles);

    fake::Reset();
    fake::Get().startError = 1053;
    EXPECT_EQ(0, Run({"ferrolink", "INSTALL", "HP"}));
    EXPECT_EQ("CreateService SUCCESS.\nError starting Service: 1053, please do it by hand.\n", out);
    EXPECT_NE(nullptr, fake::GetValue(ServiceKey(9100), "Printer")) << "configured all the same";
}

TEST_F(InstallTest, RemoveStopsThenDeletes) {
    EXPECT_EQ(0, Run({"ferrolink", "REMOVE", "9101"}));
    EXPECT_EQ("Server stopped.\nDeleteService SUCCESS\n", out);
    EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_STOP}, fake::Get().controlsSent);
    EXPECT_EQ(1, fake::Get().deleted);
    EXPECT_EQ("OpenServiceA KVFerrolink_9101", fake::Get().events.at(0));
    EXPECT_EQ(0, fake::Get().managerHandles);
    EXPECT_EQ(0, fake::Get().serviceHandles);

    fake::Reset();
    fake::Get().controlError = ERROR_SERVICE_NOT_ACTIVE;
    Run({"ferrolink", "REMOVE"});
    EXPECT_EQ("DeleteService SUCCESS\n", out) << "a stopped service is deleted silently";
    EXPECT_EQ(1, fake::Get().deleted);

    // The pipe broke before the answer came back (Wine, the service's process ending at once):
    // asked again, the service answers "not active", or takes the stop.
    for (DWORD second : {(DWORD)ERROR_SERVICE_NOT_ACTIVE, (DWORD)ERROR_SUCCESS}) {
        fake::Reset();
        fake::Get().controlErrors = {ERROR_BROKEN_PIPE, second};
        Run({"ferrolink", "REMOVE", "9101"});
        EXPECT_EQ("Server stopped.\nDeleteService SUCCESS\n", out) << second;
        EXPECT_EQ(2u, fake::Get().controlsSent.size());
        EXPECT_EQ(1, fake::Get().deleted);
    }
}

TEST_F(InstallTest, RemoveFailures) {
    fake::Get().managerError = ERROR_ACCESS_DENIED;
    Run({"ferrolink", "REMOVE"});
    EXPECT_EQ("Error: ServiceManager 5\n", out);

    fake::Reset();
    fake::Get().openError = ERROR_SERVICE_DOES_NOT_EXIST;
    Run({"ferrolink", "REMOVE", "9101"});
    EXPECT_EQ("Error: OpenService (KVFerrolink_9101) 1060\n", out);
    EXPECT_TRUE(fake::Get().controlsSent.empty());

    fake::Reset();
    fake::Get().controlError = 1061;
    Run({"ferrolink", "REMOVE"});
    EXPECT_EQ("Error stopping Service: 1061, please do it by hand.\n", out);
    EXPECT_EQ(0, fake::Get().deleted);

    fake::Reset();
    fake::Get().controlErrors = {ERROR_BROKEN_PIPE, 1061};
    Run({"ferrolink", "REMOVE"});
    EXPECT_EQ("Error stopping Service: 1061, please do it by hand.\n", out);
    EXPECT_EQ(0, fake::Get().deleted);

    fake::Reset();
    fake::Get().deleteError = 1072;
    Run({"ferrolink", "REMOVE"});
    EXPECT_EQ("Server stopped.\nError: DeleteService 1072\n", out);
    EXPECT_EQ(0, fake::Get().serviceHandles);
}

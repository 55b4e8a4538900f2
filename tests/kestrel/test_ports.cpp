// test_ports.cpp - port scan, property lines and the probe.
#include "fake_platform.h"
#include "portlist.h"
#include "ports.h"
#include "options.h"
#include <gtest/gtest.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

static const char *PROPS = "TxQue=10,RxQue=20,Baud=0x30,BaudMax=0x40,Bits=0xf,SubType=1,Capa=ff \n";

class Ports : public testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        // skipped: another type, out of range, no number, and an end that stops the walk
        fake.reg = {{1, "COM1"}, {0, "COM7"}, {1, "COM0"}, {1, "COM100"}, {1, "COMx"},
                    {1, "COM12"}, {1, "COM3"}};
        fake.openable = {1, 3, 12};
    }
};

TEST_F(Ports, ScanPicksHighestAndListsAllHighestFirst)
{
    CaptureStdout();
    EXPECT_EQ(PortScan(0, 9600, true, false), 12);
    EXPECT_EQ(GetCapturedStdout(), std::string("==== COM Port List====\nCOM12:") + PROPS);

    fake.props_result[3] = -1; // held by another program
    fake.props_result[1] = 0;  // opens, but reports no properties
    CaptureStdout();
    EXPECT_EQ(PortScan(0, 1000000, true, true), 0);
    EXPECT_EQ(GetCapturedStdout(), std::string("==== COM Port List====\nCOM12:") + PROPS +
                                       "COM3: Can't Open .\nCOM1:\n");
    EXPECT_TRUE(fake.opens.empty()); // listing never opens the channel
}

TEST_F(Ports, RequestedPortIsProbed)
{
    fake.rx = {0x55, 0x00};
    CaptureStdout();
    EXPECT_EQ(PortScan(3, 115200, true, true), 3);
    EXPECT_EQ(GetCapturedStdout(), std::string("==== COM Port List====\nCOM3:") + PROPS);
    EXPECT_EQ(fake_tx_string(), "\xaa\xa5");
    EXPECT_EQ(fake.bauds, std::vector<int>{115200});
    EXPECT_EQ(fake.tx[1].at_ms, 0);
    EXPECT_EQ(fake.clock, 32);

    fake_reset();
    fake.reg = {{1, "COM3"}, {1, "COM1"}};
    fake.openable = {3};
    fake.rx = {'u'}; // wrong answer: the whole list follows, COM3 again
    CaptureStdout();
    EXPECT_EQ(PortScan(3, 9600, true, true), 0);
    EXPECT_EQ(GetCapturedStdout(), std::string("==== COM Port List====\nCOM3:") + PROPS + "COM3:" +
                                       PROPS + "COM1:" + PROPS);

    fake.rx.clear(); // silence is no answer either
    EXPECT_FALSE(port_probe(3, 9600));
    CaptureStdout();
    EXPECT_EQ(PortScan(5, 9600, true, false), 3); // unregistered request: no probe
    GetCapturedStdout();
    EXPECT_EQ(fake.opens.size(), 2u);
}

TEST_F(Ports, NoRegistryPrintsOnlyTheHeader)
{
    fake.reg_ok = false;
    CaptureStdout();
    EXPECT_EQ(PortScan(0, 9600, true, true), 0);
    EXPECT_EQ(GetCapturedStdout(), "==== COM Port List====\n");
}

static plat_port_desc port_desc(int com, const char *device, bool busy = false)
{
    plat_port_desc d = {};
    d.com = com;
    snprintf(d.device, sizeof d.device, "%s", device);
    d.busy = busy;
    return d;
}

TEST(PortList, HighestComFirstThenTheOthersInTheirOrder)
{
    fake_reset();
    fake.list = {port_desc(0, "/dev/rfcomm0"), port_desc(3, "\\Device\\Serial0"),
                 port_desc(0, "/dev/ttyTHS1"), port_desc(12, "\\Device\\VCP0", true),
                 port_desc(99, "/dev/ttyAMA2")};
    snprintf(fake.list[4].uart, sizeof fake.list[4].uart, "PL011");
    CaptureStdout();
    EXPECT_EQ(PortList(), 0);
    EXPECT_EQ(GetCapturedStdout(), "COM99  /dev/ttyAMA2  uart PL011\n"
                                   "COM12  \\Device\\VCP0  busy\n"
                                   "COM3   \\Device\\Serial0\n"
                                   "-      /dev/rfcomm0\n"
                                   "-      /dev/ttyTHS1\n");
}

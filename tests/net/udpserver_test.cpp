// The discovery service's request handler, udpserver::parse_data. The answer
// itself (a broadcast) is only sent in the end-to-end tests, inside a private
// network namespace.
#include "net/udpserver.h"

#include "core/state.h"
#include "tests/net/nettest.h"
#include "tests/support/sandbox.h"

#include <string>

using nettest::sameBytes;

namespace {

class UdpRequests : public nettest::ScratchBoard
{
};

std::string search(const std::string &data)
{
    return R"({"Command":"CMD_SearchReader","Data":)" + data + "}";
}

std::string setNetConf(const std::string &oldIp, const std::string &values)
{
    return R"({"Command":"CMD_SetNetConf","Data":{"OldIP":")" + oldIp + "\"" + values + "}}";
}

const std::string newValues =
    R"(,"IP":"10.0.0.9","Mask":"255.0.0.0","Gateway":"10.0.0.1","DNS":"10.0.0.2","MAC":"02:00:00:00:00:09")";
const std::string newFile =
    "IP=10.0.0.9\nMask=255.0.0.0\nGateway=10.0.0.1\nDNS=10.0.0.2\nMAC=02:00:00:00:00:09\n";

TEST_F(UdpRequests, SearchWithTheExactTextMatches)
{
    nettest::setStatus(-1);
    EXPECT_EQ(udpserver::parse_data(search(R"("TcpReader Request")").c_str()), udpserver::UDP_SEARCH_READER);
    EXPECT_EQ(nettest::status(), 0);
}

TEST_F(UdpRequests, SearchWithAnyOtherDataDoesNotMatch)
{
    for (const char *data : {R"("tcpreader request")", R"("TcpReader Request ")", R"("TcpReader Request\n")",
                             R"(" TcpReader Request")", R"("TcpReader")", R"("")", "17", "null",
                             R"({"x":"TcpReader Request"})", R"(["TcpReader Request"])"}) {
        nettest::setStatus(0);
        EXPECT_EQ(udpserver::parse_data(search(data).c_str()), udpserver::UDP_SEARCH_READER) << data;
        EXPECT_EQ(nettest::status(), -1) << data;
    }
    nettest::setStatus(0);
    EXPECT_EQ(udpserver::parse_data(R"({"Command":"CMD_SearchReader"})"), udpserver::UDP_SEARCH_READER);
    EXPECT_EQ(nettest::status(), -1);
}

TEST_F(UdpRequests, KeysIgnoreCaseCommandNamesDoNot)
{
    nettest::setStatus(-1);
    EXPECT_EQ(udpserver::parse_data(R"({"command":"CMD_SearchReader","data":"TcpReader Request"})"),
              udpserver::UDP_SEARCH_READER);
    EXPECT_EQ(nettest::status(), 0);
    nettest::setStatus(77);
    EXPECT_EQ(udpserver::parse_data(R"({"Command":"cmd_searchreader","Data":"TcpReader Request"})"),
              udpserver::UDP_NONE);
    EXPECT_EQ(nettest::status(), 77);
}

TEST_F(UdpRequests, UnusableDatagramsLeaveTheStatusAlone)
{
    for (const std::string &datagram :
         {std::string(""), std::string("TcpReader Response"), std::string("\xff\xfe\x00", 3),
          std::string("[1]"), std::string(R"({"Command":1})"), std::string(R"({"Data":"TcpReader Request"})"),
          std::string(R"({"Command":"CMD_GetNetConf"})"), std::string(R"({"Command":"CMD_SearchReader")")}) {
        nettest::setStatus(55);
        EXPECT_EQ(udpserver::parse_data(datagram.c_str()), udpserver::UDP_NONE) << nettest::escaped(datagram);
        EXPECT_EQ(nettest::status(), 55);
    }
}

TEST_F(UdpRequests, SetNetConfForAnotherBoardLeavesTheFileUntouched)
{
    std::string before = harness::readFile(settingsFile);
    for (const char *oldIp : {"192.168.0.101", "192.168.0.10", "192.168.0.100 ", "", "192.168.000.100"}) {
        nettest::setStatus(0);
        EXPECT_EQ(udpserver::parse_data(setNetConf(oldIp, newValues).c_str()), udpserver::UDP_SET_NET_CONF);
        EXPECT_EQ(nettest::status(), -1) << oldIp;
        EXPECT_TRUE(sameBytes(harness::readFile(settingsFile), before)) << oldIp;
    }
    EXPECT_EQ(rebootCount(), 0);
}

TEST_F(UdpRequests, SetNetConfForThisBoardRewritesTheFile)
{
    nettest::setStatus(-1);
    EXPECT_EQ(udpserver::parse_data(setNetConf("192.168.0.100", newValues).c_str()),
              udpserver::UDP_SET_NET_CONF);
    EXPECT_EQ(nettest::status(), 0);
    EXPECT_TRUE(sameBytes(harness::readFile(settingsFile), newFile));
    // The handler only decides; the service loop reboots.
    EXPECT_EQ(rebootCount(), 0);
}

TEST_F(UdpRequests, SetNetConfWithEmptyValuesRewritesTheFileUnchanged)
{
    nettest::setStatus(-1);
    EXPECT_EQ(
        udpserver::parse_data(
            setNetConf("192.168.0.100", R"(,"IP":"","Mask":"","Gateway":"","DNS":"","MAC":"")").c_str()),
        udpserver::UDP_SET_NET_CONF);
    EXPECT_EQ(nettest::status(), 0);
    EXPECT_TRUE(sameBytes(harness::readFile(settingsFile), nettest::defaultSettingsFile));
}

TEST_F(UdpRequests, SetNetConfKeysIgnoreCase)
{
    nettest::setStatus(-1);
    EXPECT_EQ(udpserver::parse_data(
                  R"({"command":"CMD_SetNetConf","DATA":{"oldip":"192.168.0.100","ip":"10.0.0.9","MASK":"",)"
                  R"("gateway":"","dns":"","mac":""}})"),
              udpserver::UDP_SET_NET_CONF);
    EXPECT_EQ(nettest::status(), 0);
    EXPECT_EQ(harness::readLines(settingsFile).at(0), "IP=10.0.0.9");
}

TEST_F(UdpRequests, SetNetConfWithUnusableMembersIsRefused)
{
    std::string before = harness::readFile(settingsFile);
    for (
        const std::string &datagram :
        {setNetConf("192.168.0.100", R"(,"IP":"10.0.0.9","Mask":"","Gateway":"","DNS":"")"),
         setNetConf("192.168.0.100", R"(,"IP":"10.0.0.9","Mask":"","Gateway":"","DNS":"","MAC":7)"),
         setNetConf("192.168.0.100", R"(,"IP":null,"Mask":"","Gateway":"","DNS":"","MAC":"")"),
         setNetConf("192.168.0.100", ""),
         setNetConf("192.168.0.100",
                    R"(,"IP":")" + std::string(64, '9') + R"(","Mask":"","Gateway":"","DNS":"","MAC":"")"),
         setNetConf("192.168.0.100", R"(,"IP":"1\n2","Mask":"","Gateway":"","DNS":"","MAC":"")"),
         std::string(R"({"Command":"CMD_SetNetConf"})"),
         std::string(R"({"Command":"CMD_SetNetConf","Data":"x"})"),
         std::string(
             R"({"Command":"CMD_SetNetConf","Data":{"OldIP":5,"IP":"","Mask":"","Gateway":"","DNS":"","MAC":""}})"),
         std::string(
             R"({"Command":"CMD_SetNetConf","Data":{"IP":"","Mask":"","Gateway":"","DNS":"","MAC":""}})")}) {
        nettest::setStatus(0);
        EXPECT_EQ(udpserver::parse_data(datagram.c_str()), udpserver::UDP_SET_NET_CONF) << datagram;
        EXPECT_EQ(nettest::status(), -1) << datagram;
        EXPECT_TRUE(sameBytes(harness::readFile(settingsFile), before)) << datagram;
    }
}

TEST_F(UdpRequests, SetNetConfWriteFailureIsReported)
{
    // A settings file that cannot be read leaves entry 0 empty, so only an
    // empty "OldIP" names this board; the write into a missing directory fails.
    setSettingsFile(dir + "/no-such-dir/eth0-setting");
    nettest::setStatus(0);
    EXPECT_EQ(udpserver::parse_data(setNetConf("", newValues).c_str()), udpserver::UDP_SET_NET_CONF);
    EXPECT_EQ(nettest::status(), -1);
}

} // namespace

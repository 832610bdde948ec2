// Golden bytes of the discovery datagrams: the probe a client broadcasts
// and the agent's text answer. Datagrams arrive whole or not at all, so
// each row is decoded from its bytes as one datagram.
#include "protocol/discovery_messages.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace agent::protocol;
using fake::Bytes;
using fake::Hex;

std::string Text(const Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

struct ProbeRow {
    const char *label;
    const char *hex;
    bool wireless;
    const char *host;
    const char *machineId;
};

TEST(DiscoveryGolden, ProbeRequests)
{
    const ProbeRow rows[] = {
        {"wired", "30 2c 30 2c 50 43 31 2c 30 30 30 30 39 34 30 34 33 30 30 30 30 37 37 30 32 36 30 30 30 30 36 30",
         false, "PC1", "000094043000077026000060"},
        {"wireless", "30 2c 31 2c 50 43 31 2c 30 30 30 30 39 34 30 34 33 30 30 30 30 37 37 30 32 36 30 30 30 30 36 30",
         true, "PC1", "000094043000077026000060"},
        {"no wired adapter", "30 2c 31 2c 50 43 31 2c", true, "PC1", ""},
        {"no host name", "30 2c 30 2c 2c", false, "", ""},
    };
    for (const ProbeRow &row : rows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        char datagram[kProbeDatagramBytes];
        const int length = EncodeProbeRequest(datagram, row.wireless, row.host, row.machineId);
        ASSERT_GE(length, 0);
        EXPECT_EQ(std::string(datagram, static_cast<size_t>(length)), Text(wire));

        ProbeRequest probe;
        ASSERT_TRUE(DecodeProbeRequest(reinterpret_cast<const char *>(wire.data()), wire.size(), probe));
        EXPECT_EQ(probe.number, 0u);
        EXPECT_EQ(probe.wireless, row.wireless);
        EXPECT_EQ(probe.hostName, row.host);
        EXPECT_EQ(probe.machineId, row.machineId);
    }
    // A text that does not start with a number is no probe.
    ProbeRequest probe;
    for (const char *other : {"", "hello", ",0,PC1,"})
        EXPECT_FALSE(DecodeProbeRequest(other, std::string(other).size(), probe)) << other;
    // A host name too long for the datagram is cut; the terminator never goes out.
    char datagram[kProbeDatagramBytes];
    EXPECT_EQ(EncodeProbeRequest(datagram, false, std::string(600, 'h').c_str(), ""),
              static_cast<int>(kProbeDatagramBytes) - 1);
}

struct ReplyRow {
    const char *label;
    std::string bytes; // as received; may hold a zero byte
    DWORD value;
    std::string name;
    bool canonical; // what EncodeProbeReply(1, value, name) sends
};

TEST(DiscoveryGolden, ProbeReplies)
{
    const ReplyRow rows[] = {
        {"plain", Text(Hex("31 2c 35 2c 41 47 45 4e 54 2d 50 43")), 5, "AGENT-PC", true},
        {"reference agent", Text(Hex("31 2c 34 33 32 31 2c 50 43 2d 31")), 4321, "PC-1", true},
        {"empty name", Text(Hex("31 2c 35 2c")), 5, "", true},
        {"mixed separators keep line ends", "7 42\tPC-1\r\n", 42, "PC-1\r\n", false},
        {"no separator after value", "1,5", 0, "", false},
        {"no numbers", "hello", 0, "hello", false},
        {"empty", "", 0, "", false},
        {"zero byte ends the text", std::string("1,9,AB\0CD", 9), 9, "AB", false},
        {"separator runs", "3,,  \t7,\r\n,NAME", 7, "NAME", false},
        {"separators inside the name are kept", "1,5,My PC, second", 5, "My PC, second", true},
        {"value missing", "1,,AGENT", 0, "AGENT", false},
        {"leading number only", "12", 0, "", false},
        {"leading number missing", ",5,NAME", 5, "NAME", false},
        {"plus sign", "1,+8,X", 8, "X", false},
        {"minus sign wraps as strtoul does", "1,-5,X", 0xFFFFFFFBu, "X", false},
        {"overflow saturates", "1,4294967296,X", 0xFFFFFFFFu, "X", false},
        {"largest value", "1,4294967295,X", 0xFFFFFFFFu, "X", true},
        {"overflowing leading number is ignored", "99999999999999999999,3,X", 3, "X", false},
        {"vertical tab is white space for the number", "1,\v6,X", 6, "X", false},
        {"sign without digits consumes nothing", "1,-,X", 0, "-,X", false},
        {"utf-8 name passes as bytes", "1,2,\xC3\x9C" "ber", 2, "\xC3\x9C" "ber", true},
    };
    for (const ReplyRow &row : rows) {
        SCOPED_TRACE(row.label);
        const ProbeReply reply = DecodeProbeReply(row.bytes.c_str());
        EXPECT_EQ(reply.value, row.value);
        ASSERT_NE(reply.name, nullptr);
        EXPECT_EQ(std::string(reply.name), row.name);
        if (row.canonical) {
            EXPECT_EQ(EncodeProbeReply(1, row.value, row.name), row.bytes);
        }
    }
}

} // namespace

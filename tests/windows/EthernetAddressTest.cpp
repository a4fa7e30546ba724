// SPDX-License-Identifier: Apache-2.0
// The splitting of host[:port] port names, run on Linux and under Wine alike.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <string>

#include "EthernetAddress.h"

namespace {

struct SplitCase {
    const char* address;
    const char* host;
    int port;
};

std::string CaseName(const std::string& text) {
    std::string name = text.empty() ? "empty" : text;
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

class Addresses : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Addresses, SplitAtTheFirstColonWithThePortAsStrtolReadsIt) {
    EthernetAddress split;
    ASSERT_TRUE(SplitEthernetAddress(GetParam().address, &split));
    EXPECT_STREQ(GetParam().host, split.host);
    EXPECT_EQ(GetParam().port, split.port);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Addresses,
    ::testing::Values(SplitCase{"192.168.0.20:9101", "192.168.0.20", 9101},
                      SplitCase{"192.168.0.20", "192.168.0.20", 9100}, SplitCase{"", "", 9100},
                      SplitCase{"printer:", "printer", 0}, SplitCase{":9100", "", 9100},
                      SplitCase{"a:b:c", "a", 0}, SplitCase{"host: -12x", "host", -12},
                      SplitCase{"host:+7", "host", 7}, SplitCase{"host:0x10", "host", 0},
                      SplitCase{"pos-printer-19-char", "pos-printer-19-char", 9100},
                      SplitCase{"p:0000000000000009101", "p", 9101},
                      SplitCase{"h:1234567890123456789", "h", INT_MAX},
                      SplitCase{"h:-999999999999999999", "h", INT_MIN}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return CaseName(info.param.address); });

class OverlongAddresses : public ::testing::TestWithParam<const char*> {};

TEST_P(OverlongAddresses, AreRefusedAndLeaveNothingBehind) {
    EthernetAddress split;
    split.host[0] = 'x';
    split.port = 1;
    EXPECT_FALSE(SplitEthernetAddress(GetParam(), &split));
    EXPECT_STREQ("", split.host);
    EXPECT_EQ(0, split.port);
}

INSTANTIATE_TEST_SUITE_P(Names, OverlongAddresses,
                         ::testing::Values("pos-printer-20-chars", "pos-printer-20-chars:9100",
                                           "printer:00000000000000009100"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return CaseName(info.param);
                         });

}  // namespace

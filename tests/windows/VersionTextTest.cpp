// SPDX-License-Identifier: Apache-2.0
// The version text comes from the version resource of the module that holds
// the trace log's code. Here that module is this test program, built once per
// resource version with the text it must give.
#include <gtest/gtest.h>

#include <cstring>

#include "ZkPosDll.h"

TEST(VersionText, ShowsTheLow8BitsOfMinorAndRevisionOfTheOwnModule) {
    char text[ZKPOS_VERSION_TEXT_SIZE + 6];
    memset(text, '#', sizeof text);
    GetDllVersion(text);
    EXPECT_STREQ(EXPECTED_VERSION_TEXT, text);
    // Nothing beyond the ten characters it may use is touched.
    for (size_t i = ZKPOS_VERSION_TEXT_SIZE; i < sizeof text; ++i) {
        EXPECT_EQ('#', text[i]) << "byte " << i;
    }
}

// No ZkLink64.dll anywhere on the search path: this program never points the
// search at a stand-in, so the layer cannot be found.
#include <gtest/gtest.h>

#include "ZkPosDll.h"

TEST(BindingWithoutLayer, LoadFailsAndLeavesNothingLoaded) {
    ASSERT_EQ(nullptr, GetModuleHandleA("ZkLink64.dll"));
    EXPECT_EQ(-1, CommunicationDll_Load());
    EXPECT_EQ(nullptr, m_hCommunicationDll);
    EXPECT_EQ(-1, CommunicationDll_Open());
    // A second attempt tries again rather than remembering the failure.
    EXPECT_EQ(-1, CommunicationDll_Load());
    EXPECT_EQ(nullptr, m_hCommunicationDll);
}

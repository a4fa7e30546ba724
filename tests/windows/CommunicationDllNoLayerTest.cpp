// SPDX-License-Identifier: Apache-2.0
// No ZkLink64.dll anywhere on the search path: this program never points the
// search at a stand-in, so the layer cannot be found.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "TestJniEnv.h"
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

TEST(BindingWithoutLayer, OpenFailsNamingTheLayerItCouldNotLoad) {
    zkpos_test::TestJniEnv jni;
    EXPECT_EQ(-1, Java_com_zelkor_jpos_services_WinPortComm_openDevice(
                      jni.Env(), jni.Self(), jni.MakeString("RS232"), jni.MakeString("COM1"), 9600,
                      JNI_TRUE, 3));
    std::ifstream file(m_strLogFileName, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    std::string trace = content.str();
    // The last two lines: the load error at level 2, then the end of the open.
    EXPECT_TRUE(std::regex_search(
        trace, std::regex("\\]Java_com_zelkor_jpos_services_WinPortComm_openDevice: ERROR Init "
                          "ZkLink64\\.dll\r\n\\[[^\\]]{19}\\]Java_com_zelkor_jpos_services_"
                          "WinPortComm_openDevice: END\r\n$")))
        << trace;
    EXPECT_EQ(0, jni.GetStringUTFCharsCalls());
}

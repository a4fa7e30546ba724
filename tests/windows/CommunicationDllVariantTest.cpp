// SPDX-License-Identifier: Apache-2.0
// A layer that lacks SetUsbTimeout: only the operation that needs it fails.
#include <gtest/gtest.h>

#include "ZkLinkStandIn.h"
#include "ZkPosDll.h"

class BindingWithoutUsbTimeout : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(LoadZkLinkStandIn("layer-without-usb-timeout", &layer_));
        m_hCommunicationDll = nullptr;
        layer_.Reset();
        ASSERT_EQ(0, CommunicationDll_Load());
    }
    void TearDown() override { m_hCommunicationDll = nullptr; }

    ZkLinkStandIn layer_{};
};

TEST_F(BindingWithoutUsbTimeout, UsbTimeoutFailsAndCallsNothing) {
    EXPECT_EQ(nullptr, GetProcAddress(m_hCommunicationDll, "SetUsbTimeout"));
    EXPECT_EQ(-1, CommunicationDll_Usb_SetTimeout(3000, 7000));
    EXPECT_EQ(0, layer_.CallCount());
}

TEST_F(BindingWithoutUsbTimeout, EveryOtherOperationStillWorks) {
    unsigned char buffer[16] = {};
    int count = 0;
    EXPECT_EQ(0, CommunicationDll_CreatePort(2));
    EXPECT_EQ(0, CommunicationDll_Usb_Init("USB001"));
    EXPECT_EQ(0, CommunicationDll_Serial_Init("COM1", 9600, 1, 7, 0, 0));
    EXPECT_EQ(0, CommunicationDll_Eth_Init("printer"));
    EXPECT_EQ(0, CommunicationDll_Open());
    EXPECT_EQ(0, CommunicationDll_Serial_SetTimeout(3000, 7000));
    EXPECT_EQ(0, CommunicationDll_Eth_SetTimeout(3000, 7000));
    EXPECT_EQ(0, CommunicationDll_Write(buffer, 2));
    EXPECT_EQ(0, CommunicationDll_Read(buffer, &count, sizeof buffer));
    CommunicationDll_Release();
    EXPECT_EQ(
        "CreateCommunicationPort InitUsbPrinter InitSerialPort InitEthTCP Open SetSerialTimeout "
        "SetEthTimeout Write Read Close DeleteAllLayerItems",
        layer_.CallNames());
}

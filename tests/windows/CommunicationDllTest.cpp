// SPDX-License-Identifier: Apache-2.0
// The binding to the communication layer, against the recording stand-in
// ZkLink64.dll: loading and release, the argument orders of every entry, the
// 0 / -1 results and the layer's log settings by trace level.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ZkLinkStandIn.h"
#include "ZkPosDll.h"

class Binding : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(LoadZkLinkStandIn("layer", &layer_));
        m_hCommunicationDll = nullptr;
        m_iTraceLevel = 0;
        m_iPortId = 0;
        layer_.Reset();
        ASSERT_EQ(0, CommunicationDll_Load());
    }
    void TearDown() override {
        m_hCommunicationDll = nullptr;
        m_iTraceLevel = 0;
    }

    std::vector<int> Arguments(const char* entry) const {
        const ZkLinkCall* call = layer_.LastCall(entry);
        if (call == nullptr) {
            return {};
        }
        return std::vector<int>(call->arguments, call->arguments + call->argumentCount);
    }

    ZkLinkStandIn layer_{};
};

TEST_F(Binding, LoadFindsTheLayerByItsFileName) {
    EXPECT_EQ(GetModuleHandleA("ZkLink64.dll"), m_hCommunicationDll);
}

TEST_F(Binding, LoadKeepsALayerAlreadyLoaded) {
    HMODULE loaded = GetModuleHandleA(nullptr);
    m_hCommunicationDll = loaded;
    EXPECT_EQ(0, CommunicationDll_Load());
    EXPECT_EQ(loaded, m_hCommunicationDll);
}

TEST_F(Binding, ReleaseClosesClearsTheLayerAndForgetsIt) {
    CommunicationDll_Release();
    EXPECT_EQ("Close DeleteAllLayerItems", layer_.CallNames());
    EXPECT_EQ(nullptr, m_hCommunicationDll);
    EXPECT_EQ(-1, CommunicationDll_Open());

    EXPECT_EQ(0, CommunicationDll_Load());
    EXPECT_EQ(GetModuleHandleA("ZkLink64.dll"), m_hCommunicationDll);
    EXPECT_EQ(0, CommunicationDll_Open());
}

TEST_F(Binding, EntriesAreLookedUpAtEveryCall) {
    EXPECT_EQ(0, CommunicationDll_Open());
    // A module without the layer's entries in its place: nothing was kept
    // from the call before.
    m_hCommunicationDll = GetModuleHandleA("kernel32.dll");
    EXPECT_EQ(-1, CommunicationDll_Open());
    EXPECT_EQ("Open", layer_.CallNames());
}

TEST_F(Binding, WithNothingLoadedEveryOperationFailsAndNothingIsCalled) {
    m_hCommunicationDll = nullptr;
    unsigned char buffer[8] = {};
    int count = 0;
    EXPECT_EQ(-1, CommunicationDll_CreatePort(0));
    EXPECT_EQ(-1, CommunicationDll_Serial_Init("COM1", 9600, 1, 7, 0, 0));
    EXPECT_EQ(-1, CommunicationDll_Usb_Init("USB001"));
    EXPECT_EQ(-1, CommunicationDll_Eth_Init("printer"));
    EXPECT_EQ(-1, CommunicationDll_Open());
    EXPECT_EQ(-1, CommunicationDll_Serial_SetTimeout(1000, 1000));
    EXPECT_EQ(-1, CommunicationDll_Eth_SetTimeout(1000, 1000));
    EXPECT_EQ(-1, CommunicationDll_Usb_SetTimeout(1000, 1000));
    EXPECT_EQ(-1, CommunicationDll_Write(buffer, 1));
    EXPECT_EQ(-1, CommunicationDll_Read(buffer, &count, sizeof buffer));
    CommunicationDll_Close();
    CommunicationDll_Release();
    EXPECT_EQ(nullptr, m_hCommunicationDll);
    EXPECT_EQ(0, layer_.CallCount());
}

TEST_F(Binding, CreatePortPassesKindAndStoresThePortId) {
    layer_.SetPortId(4711);
    EXPECT_EQ(0, CommunicationDll_CreatePort(2));
    const ZkLinkCall* call = layer_.LastCall("CreateCommunicationPort");
    ASSERT_NE(nullptr, call);
    EXPECT_EQ(2, call->arguments[0]);
    EXPECT_EQ(&m_iPortId, call->resultPointer);
    EXPECT_EQ(4711, m_iPortId);
}

TEST_F(Binding, SerialInitPassesPortNameBaudAndTheFourConstantsInOrder) {
    const char* portName = "COM3";
    EXPECT_EQ(0, CommunicationDll_Serial_Init(portName, 115200, 1, 7, 0, 0));
    const ZkLinkCall* call = layer_.LastCall("InitSerialPort");
    ASSERT_NE(nullptr, call);
    EXPECT_EQ(portName, call->pointer);
    EXPECT_EQ((std::vector<int>{115200, 1, 7, 0, 0}), Arguments("InitSerialPort"));
}

TEST_F(Binding, UsbInitPassesThePortName) {
    const char* portName = "USB001";
    EXPECT_EQ(0, CommunicationDll_Usb_Init(portName));
    const ZkLinkCall* call = layer_.LastCall("InitUsbPrinter");
    ASSERT_NE(nullptr, call);
    EXPECT_EQ(portName, call->pointer);
}

TEST_F(Binding, EthernetInitPassesHostThenPort) {
    EXPECT_EQ(0, CommunicationDll_Eth_Init("192.168.0.20:9101"));
    const ZkLinkCall* call = layer_.LastCall("InitEthTCP");
    ASSERT_NE(nullptr, call);
    EXPECT_STREQ("192.168.0.20", call->text);
    EXPECT_EQ((std::vector<int>{9101}), Arguments("InitEthTCP"));
}

TEST_F(Binding, SerialTimeoutPassesReadAndWriteBetweenTheLayersConstants) {
    EXPECT_EQ(0, CommunicationDll_Serial_SetTimeout(3000, 7000));
    EXPECT_EQ((std::vector<int>{10, 7000, 10, 3000, 10}), Arguments("SetSerialTimeout"));
}

TEST_F(Binding, EthernetAndUsbTimeoutsPassWriteThenRead) {
    EXPECT_EQ(0, CommunicationDll_Eth_SetTimeout(3000, 7000));
    EXPECT_EQ(0, CommunicationDll_Usb_SetTimeout(4000, 8000));
    EXPECT_EQ((std::vector<int>{3000, 7000}), Arguments("SetEthTimeout"));
    EXPECT_EQ((std::vector<int>{4000, 8000}), Arguments("SetUsbTimeout"));
}

TEST_F(Binding, WritePassesTheBytesAndTheirLength) {
    const unsigned char data[] = {0x1B, 'x', 0, 'y'};
    EXPECT_EQ(0, CommunicationDll_Write(data, 3));
    const ZkLinkCall* call = layer_.LastCall("Write");
    ASSERT_NE(nullptr, call);
    EXPECT_EQ(data, call->pointer);
    EXPECT_EQ((std::vector<int>{3}), Arguments("Write"));
    EXPECT_EQ(0, memcmp(data, call->data, 3));

    EXPECT_EQ(0, CommunicationDll_Write(data, 0));
    EXPECT_EQ((std::vector<int>{0}), Arguments("Write"));
}

TEST_F(Binding, ReadPassesBufferCapacityThenCount) {
    const unsigned char sent[] = {'o', 'k', 0, 7};
    layer_.SetRead(sent, sizeof sent);
    unsigned char buffer[2048] = {};
    int count = 0;
    EXPECT_EQ(0, CommunicationDll_Read(buffer, &count, 2048));
    const ZkLinkCall* call = layer_.LastCall("Read");
    ASSERT_NE(nullptr, call);
    EXPECT_EQ(buffer, call->pointer);
    EXPECT_EQ(&count, call->resultPointer);
    EXPECT_EQ((std::vector<int>{2048}), Arguments("Read"));
    EXPECT_EQ(4, count);
    EXPECT_EQ(0, memcmp(sent, buffer, sizeof sent));
}

TEST_F(Binding, ReadOfNothingSucceedsWithCountZero) {
    unsigned char buffer[16] = {};
    int count = -5;
    EXPECT_EQ(0, CommunicationDll_Read(buffer, &count, sizeof buffer));
    EXPECT_EQ(0, count);
}

TEST_F(Binding, ReadFailsOnAnyNonZeroResultWhateverCountTheLayerStored) {
    const unsigned char sent[] = {1, 2, 3, 4, 5};
    layer_.SetRead(sent, sizeof sent);
    layer_.SetResult("Read", 2);
    unsigned char buffer[16] = {};
    int count = 0;
    EXPECT_EQ(-1, CommunicationDll_Read(buffer, &count, sizeof buffer));
    EXPECT_EQ(5, count);
}

TEST_F(Binding, ReleaseGoesOnWhenTheLayerFailsToClose) {
    layer_.SetResult("Close", 1);
    CommunicationDll_Release();
    EXPECT_EQ("Close DeleteAllLayerItems", layer_.CallNames());
    EXPECT_EQ(nullptr, m_hCommunicationDll);
}

// Every operation with a result, with the entry it calls.
struct Operation {
    const char* entry;
    std::function<int()> call;
};

std::vector<Operation> OperationsWithResults() {
    static unsigned char buffer[64];
    static int count;
    return {
        {"CreateCommunicationPort", [] { return CommunicationDll_CreatePort(0); }},
        {"InitSerialPort", [] { return CommunicationDll_Serial_Init("COM1", 9600, 1, 7, 0, 0); }},
        {"InitUsbPrinter", [] { return CommunicationDll_Usb_Init("USB001"); }},
        {"InitEthTCP", [] { return CommunicationDll_Eth_Init("printer"); }},
        {"Open", [] { return CommunicationDll_Open(); }},
        {"SetSerialTimeout", [] { return CommunicationDll_Serial_SetTimeout(5000, 5000); }},
        {"SetEthTimeout", [] { return CommunicationDll_Eth_SetTimeout(5000, 5000); }},
        {"SetUsbTimeout", [] { return CommunicationDll_Usb_SetTimeout(5000, 5000); }},
        {"Write", [] { return CommunicationDll_Write(buffer, 4); }},
        {"Read", [] { return CommunicationDll_Read(buffer, &count, sizeof buffer); }},
    };
}

TEST_F(Binding, EveryNonZeroLayerResultBecomesMinusOne) {
    for (const Operation& operation : OperationsWithResults()) {
        for (int layerResult : {1, -1, 42, INT_MIN, INT_MAX}) {
            layer_.SetResult(operation.entry, layerResult);
            EXPECT_EQ(-1, operation.call()) << operation.entry << " answering " << layerResult;
        }
        layer_.SetResult(operation.entry, 0);
        EXPECT_EQ(0, operation.call()) << operation.entry;
        EXPECT_NE(nullptr, layer_.LastCall(operation.entry)) << operation.entry;
    }
}

struct LayerLogCase {
    int traceLevel;
    int logFlag;
    int logMask;
    bool pathGiven;
};

class LayerLog : public Binding, public ::testing::WithParamInterface<LayerLogCase> {};

TEST_P(LayerLog, CreatePortHandsTheLayerLogSettingsOfTheTraceLevel) {
    strcpy(m_strComLogFileName, "c:\\ZkLink.log");
    m_iTraceLevel = GetParam().traceLevel;
    EXPECT_EQ(0, CommunicationDll_CreatePort(1));
    const ZkLinkCall* call = layer_.LastCall("CreateCommunicationPort");
    ASSERT_NE(nullptr, call);
    EXPECT_EQ((std::vector<int>{1, GetParam().logFlag, GetParam().logMask}),
              Arguments("CreateCommunicationPort"));
    if (GetParam().pathGiven) {
        EXPECT_EQ(m_strComLogFileName, call->pointer);
        EXPECT_STREQ("c:\\ZkLink.log", call->text);
    } else {
        EXPECT_TRUE(call->textIsNull);
    }
}

INSTANTIATE_TEST_SUITE_P(
    TraceLevels, LayerLog,
    ::testing::Values(LayerLogCase{0, 0, 0, false}, LayerLogCase{1, 1, 8, true},
                      LayerLogCase{2, 1, 12, true}, LayerLogCase{3, 1, 14, true},
                      LayerLogCase{4, 1, 15, true}, LayerLogCase{5, 1, 15, true},
                      LayerLogCase{6, 1, 8, true}, LayerLogCase{7, 1, 8, true},
                      LayerLogCase{-1, 1, 8, true}, LayerLogCase{INT_MIN, 1, 8, true}),
    [](const ::testing::TestParamInfo<LayerLogCase>& info) {
        int level = info.param.traceLevel;
        return "TraceLevel" + (level < 0 ? "Minus" + std::to_string(-static_cast<long long>(level))
                                         : std::to_string(level));
    });

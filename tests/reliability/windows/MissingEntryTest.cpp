// SPDX-License-Identifier: Apache-2.0
// A layer that lacks one entry, or no layer at all: every call still returns
// a sound result, and only the operations that need the missing entry fail.
// The program runs once per layer variant; ZKPOS_LAYER_FOLDER names the folder
// of the variant and ZKPOS_MISSING_ENTRY what it lacks ("*" for the folder
// without any layer, empty for the complete one).
#include <cstdlib>

#include <set>
#include <string>

#include "PortDll.h"

namespace {

struct Kind {
    const char* deviceBus;
    const char* portName;
    const char* init;
    const char* timeout;
};

const Kind kKinds[] = {{"RS232", "COM3", "InitSerialPort", "SetSerialTimeout"},
                       {"Ethernet", "10.0.0.7:9101", "InitEthTCP", "SetEthTimeout"},
                       {"USB", "USB001", "InitUsbPrinter", "SetUsbTimeout"}};

std::string Environment(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

class MissingEntry : public PortDll, public ::testing::WithParamInterface<Kind> {
protected:
    void SetUp() override {
        folder_ = Environment("ZKPOS_LAYER_FOLDER");
        missing_ = Environment("ZKPOS_MISSING_ENTRY");
        ASSERT_FALSE(folder_.empty()) << "set ZKPOS_LAYER_FOLDER";
        UseLayerFolder(folder_);
        Load();
    }

    bool Has(const std::string& entry) const { return missing_ != "*" && missing_ != entry; }

    std::string folder_;
    std::string missing_;
};

TEST_P(MissingEntry, EveryCallGivesASoundResult) {
    const Kind& kind = GetParam();
    // The layer's port is open once it was created, set up and opened; the
    // whole open succeeds when the time-outs could be applied as well.
    bool layerOpen = Has("CreateCommunicationPort") && Has(kind.init) && Has("Open");
    bool opened = layerOpen && Has(kind.timeout);

    SetTimeout(3, 7);
    EXPECT_EQ(opened ? 0 : -1, Open(kind.deviceBus, kind.portName));
    EXPECT_EQ(layerOpen && Has("Write") ? 4 : -1, Write("ping"));
    EXPECT_EQ(opened && Has("Read") ? "abc" : "(null)", ReadText());
    SetTimeout(2, 2);
    SetBuffer(64, 64);
    // With a read buffer now, a read still needs a port open in the layer.
    EXPECT_EQ(layerOpen && Has("Read") ? "abc" : "(null)", ReadText());
    EXPECT_EQ(0, Close());
    EXPECT_EQ(0, Close());
    EXPECT_EQ(-1, Write("ping"));
    EXPECT_EQ("(null)", ReadText());

    // A second round behaves as the first: nothing was left half done.
    EXPECT_EQ(opened ? 0 : -1, Open(kind.deviceBus, kind.portName));
    EXPECT_EQ(layerOpen && Has("Write") ? 4 : -1, Write("ping"));
    EXPECT_EQ(0, Close());
}

TEST_P(MissingEntry, CallsBeforeAnyOpenFailSoundly) {
    SetTimeout(1, 1);
    EXPECT_EQ(-1, Write("ping"));
    EXPECT_EQ("(null)", ReadText());
    SetBuffer(16, 16);
    EXPECT_EQ("(null)", ReadText());
    EXPECT_EQ(0, Close());
}

INSTANTIATE_TEST_SUITE_P(EachKind, MissingEntry, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(info.param.deviceBus);
                         });

}  // namespace

// SPDX-License-Identifier: Apache-2.0
// The open sequence failing at each of its steps in the recording stand-in
// layer, a trace file held open by another program, and Ethernet addresses of
// every shape: each call answers soundly, and the port works again once the
// fault is gone.
#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "PortDll.h"

namespace {

struct Step {
    const char* deviceBus;
    const char* portName;
    const char* entry;
    // Whether the layer's port was opened before the step failed.
    bool layerOpened;
};

const Step kSteps[] = {
    {"RS232", "COM3", "CreateCommunicationPort", false},
    {"RS232", "COM3", "InitSerialPort", false},
    {"RS232", "COM3", "Open", false},
    {"RS232", "COM3", "SetSerialTimeout", true},
    {"Ethernet", "10.0.0.7", "CreateCommunicationPort", false},
    {"Ethernet", "10.0.0.7", "InitEthTCP", false},
    {"Ethernet", "10.0.0.7", "Open", false},
    {"Ethernet", "10.0.0.7", "SetEthTimeout", true},
    {"USB", "USB001", "CreateCommunicationPort", false},
    {"USB", "USB001", "InitUsbPrinter", false},
    {"USB", "USB001", "Open", false},
    {"USB", "USB001", "SetUsbTimeout", true},
};

class StandInLayer : public PortDll {
protected:
    void SetUp() override {
        ASSERT_TRUE(LoadZkLinkStandIn("layer", &layer_));
        layer_.Reset();
        Load();
    }

    int Calls(const char* entry) const {
        int count = 0;
        for (int i = 0; i < layer_.CallCount(); ++i) {
            count += std::string(layer_.GetCall(i)->entry) == entry ? 1 : 0;
        }
        return count;
    }

    ZkLinkStandIn layer_{};
};

class FailingStep : public StandInLayer, public ::testing::WithParamInterface<Step> {};

TEST_P(FailingStep, LeavesSoundCallsAndRecovers) {
    const Step& step = GetParam();
    layer_.SetResult(step.entry, 7);
    EXPECT_EQ(-1, Open(step.deviceBus, step.portName));

    // The layer stays loaded after the failure, so the write reaches it; the
    // stand-in takes it.
    EXPECT_EQ(4, Write("ping"));
    // No open has made a read buffer: the read fails without asking the layer.
    EXPECT_EQ("(null)", ReadText());
    EXPECT_EQ(0, Calls("Read"));
    SetTimeout(1, 1);
    EXPECT_EQ(0, Close());
    EXPECT_EQ(-1, Write("ping"));
    EXPECT_EQ("(null)", ReadText());

    // The fault is gone: the next open works from the start.
    layer_.SetResult(step.entry, 0);
    layer_.SetRead(reinterpret_cast<const unsigned char*>("ok"), 2);
    EXPECT_EQ(0, Open(step.deviceBus, step.portName));
    EXPECT_EQ(4, Write("ping"));
    EXPECT_EQ("ok", ReadText());
    EXPECT_EQ(0, Close());
}

TEST_P(FailingStep, NextOpenReleasesWhatTheFailedOneLeftOpen) {
    const Step& step = GetParam();
    layer_.SetResult(step.entry, 7);
    EXPECT_EQ(-1, Open(step.deviceBus, step.portName));
    layer_.SetResult(step.entry, 0);
    int closesBefore = Calls("Close");

    EXPECT_EQ(0, Open(step.deviceBus, step.portName));
    // Only a port the layer had opened is released first.
    EXPECT_EQ(step.layerOpened ? 1 : 0, Calls("Close") - closesBefore);
    EXPECT_EQ(0, Close());
}

INSTANTIATE_TEST_SUITE_P(EachStep, FailingStep, ::testing::ValuesIn(kSteps),
                         [](const ::testing::TestParamInfo<Step>& info) {
                             return std::string(info.param.deviceBus) + "_" + info.param.entry;
                         });

// Another program holds the trace file without sharing: its lines are lost
// meanwhile, the port works all the same, and tracing resumes by itself.
TEST_F(StandInLayer, TraceFileHeldByAnotherProgram) {
    DeleteFileA(LogFile().c_str());
    const std::string start = "Java_com_zelkor_jpos_services_WinPortComm_writeData: START";
    layer_.SetRead(reinterpret_cast<const unsigned char*>("ok"), 2);
    ASSERT_EQ(0, Open("Ethernet", "10.0.0.7", true, 5));
    EXPECT_EQ(4, Write("ping"));
    ASSERT_EQ(1, TraceLinesWith(start));

    HANDLE held = CreateFileA(LogFile().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(4, Write("ping"));
        EXPECT_EQ("ok", ReadText());
    }
    SetTimeout(2, 2);
    CloseHandle(held);

    EXPECT_EQ(1, TraceLinesWith(start)) << "lines written while the file was held";
    EXPECT_EQ(4, Write("ping"));
    EXPECT_EQ(2, TraceLinesWith(start)) << "tracing did not resume";
    EXPECT_EQ(0, Close());
}

// Random addresses, the same every run: an address whose host and port text
// fit their 19 characters reaches the layer split at its first ':'; any other
// is refused before the layer sees it.
TEST_F(StandInLayer, EthernetAddressesOfEveryShape) {
    const std::string alphabet = "abcz019.:- +x";
    std::mt19937 random(20261207);
    int refused = 0;
    for (int round = 0; round < 2000; ++round) {
        std::string address;
        size_t length = random() % 45;
        for (size_t i = 0; i < length; ++i) {
            address += alphabet[random() % alphabet.size()];
        }
        size_t colon = address.find(':');
        std::string host = address.substr(0, colon);
        std::string portText = colon == std::string::npos ? "" : address.substr(colon + 1);
        bool fits = host.size() <= 19 && portText.size() <= 19;
        layer_.Reset();

        jlong result = Open("Ethernet", address.c_str(), false, 0);

        SCOPED_TRACE("address \"" + address + "\"");
        if (!fits) {
            ++refused;
            EXPECT_EQ(-1, result);
            EXPECT_EQ(0, Calls("InitEthTCP"));
            continue;
        }
        ASSERT_EQ(0, result);
        const ZkLinkCall* call = layer_.LastCall("InitEthTCP");
        ASSERT_NE(nullptr, call);
        EXPECT_EQ(host, call->text);
        int port = colon == std::string::npos
                       ? 9100
                       : static_cast<int>(strtol(portText.c_str(), nullptr, 10));
        ASSERT_EQ(1, call->argumentCount);
        EXPECT_EQ(port, call->arguments[0]);
    }
    // Both sides of the limit were tried.
    EXPECT_GT(refused, 100);
    EXPECT_LT(refused, 1900);
    EXPECT_EQ(0, Close());
}

// Texts from the Java side of any length and any bytes but the line ends: each
// trace line that shows one carries it cut to the 1024-byte trace buffer, and
// every line keeps its time stamp and its CR LF.
TEST_F(StandInLayer, LongAndStrangeTextsAreCutInTheTrace) {
    const std::string open = "Java_com_zelkor_jpos_services_WinPortComm_openDevice: ";
    std::mt19937 random(7);
    auto text = [&random]() {
        std::string made(random() % 3000, ' ');
        for (char& character : made) {
            do {
                character = static_cast<char>(random() % 255 + 1);
            } while (character == '\r' || character == '\n');
        }
        return made;
    };
    auto cut = [](const std::string& line) {
        return line.substr(0, ZKPOS_DLL_TRACE_TEXT_SIZE - 1);
    };
    for (int round = 0; round < 300; ++round) {
        DeleteFileA(LogFile().c_str());
        std::string deviceBus = round % 3 == 0 ? "USB" : text();
        std::string portName = text();
        SCOPED_TRACE("round " + std::to_string(round));

        Open(deviceBus.c_str(), portName.c_str(), true, 5);

        std::string log = ReadLogFile(LogFile());
        ASSERT_GE(log.size(), 2u);
        ASSERT_EQ("\r\n", log.substr(log.size() - 2));
        for (const std::string& line : SplitTraceLines(log)) {
            ASSERT_TRUE(HasTimeStamp(line)) << line;
            ASSERT_LE(line.size(), kTimeStampLength + ZKPOS_DLL_TRACE_TEXT_SIZE - 1);
        }
        EXPECT_NE(std::string::npos,
                  log.find("]" + cut(open + "DeviceBus = " + deviceBus) + "\r\n"));
        EXPECT_NE(std::string::npos, log.find("]" + cut(open + "portName = " + portName) + "\r\n"));
    }
    EXPECT_EQ(0, Close());
}

// Without a Documents folder the trace goes to the drive root, and the port
// works as with one. The folder is moved away for the test and back after;
// a run that died in between is mended at the next start.
class NoDocumentsFolder : public StandInLayer {
protected:
    void SetUp() override {
        MendAnEarlierRun();
        char documents[MAX_PATH] = "";
        ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, documents, CSIDL_PERSONAL, FALSE));
        documents_ = documents;
        away_ = documents_ + ".zkpos-away";
        ASSERT_TRUE(MoveFileA(documents_.c_str(), away_.c_str()));
        StandInLayer::SetUp();
    }

    void TearDown() override {
        StandInLayer::TearDown();
        EXPECT_TRUE(MoveFileA(away_.c_str(), documents_.c_str()));
        DeleteFileA(kRootLog);
    }

    // Wine keeps Documents in the user's profile folder.
    static void MendAnEarlierRun() {
        char profile[MAX_PATH] = "";
        if (!SHGetSpecialFolderPathA(nullptr, profile, CSIDL_PROFILE, FALSE)) {
            return;
        }
        std::string documents = std::string(profile) + "\\Documents";
        std::string away = documents + ".zkpos-away";
        if (GetFileAttributesA(documents.c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesA(away.c_str()) != INVALID_FILE_ATTRIBUTES) {
            MoveFileA(away.c_str(), documents.c_str());
        }
    }

    static constexpr const char* kRootLog = "c:\\ZkPosDll.log";
    std::string documents_;
    std::string away_;
};

TEST_F(NoDocumentsFolder, TraceFallsBackToTheDriveRootAndThePortWorks) {
    char probe[MAX_PATH] = "";
    ASSERT_FALSE(SHGetSpecialFolderPathA(nullptr, probe, CSIDL_PERSONAL, FALSE))
        << "the Documents folder still resolves: " << probe;
    DeleteFileA(kRootLog);
    layer_.SetRead(reinterpret_cast<const unsigned char*>("ok"), 2);

    EXPECT_EQ(0, Open("Ethernet", "10.0.0.7", true, 5));
    EXPECT_EQ(4, Write("ping"));
    EXPECT_EQ("ok", ReadText());
    const ZkLinkCall* create = layer_.LastCall("CreateCommunicationPort");
    ASSERT_NE(nullptr, create);
    EXPECT_STREQ("c:\\ZkLink.log", create->text);
    std::vector<std::string> texts = ReadTraceTexts(kRootLog);
    EXPECT_NE(texts.end(),
              std::find(texts.begin(), texts.end(),
                        "Java_com_zelkor_jpos_services_WinPortComm_openDevice: START"));
    EXPECT_EQ(0, Close());
}

}  // namespace

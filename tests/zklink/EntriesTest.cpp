// SPDX-License-Identifier: Apache-2.0
// The layer's entries on their own: every argument check, the answers with no
// port and with a port of another kind, Close and DeleteAllLayerItems in any
// state, and the log lines each mask bit selects.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ZkLink.h"

namespace {

std::string TempPath(const char* name) {
    char folder[MAX_PATH] = "";
    GetTempPathA(sizeof folder, folder);
    return std::string(folder) + name;
}

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A loopback listener on a free port, accepting one connection, in this
// process: enough for a port that is open and moves bytes.
class LoopbackListener {
public:
    LoopbackListener() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener() {
        if (peer_ != INVALID_SOCKET) {
            closesocket(peer_);
        }
        closesocket(listener_);
    }
    int Port() const { return port_; }
    // Accepts the layer's connection; call after Open.
    bool Accept() {
        peer_ = accept(listener_, nullptr, nullptr);
        return peer_ != INVALID_SOCKET;
    }
    bool Send(const std::string& bytes) {
        return send(peer_, bytes.data(), static_cast<int>(bytes.size()), 0) ==
               static_cast<int>(bytes.size());
    }
    std::string Receive(size_t size) {
        std::string bytes(size, '\0');
        size_t got = 0;
        while (got < size) {
            int result = recv(peer_, &bytes[got], static_cast<int>(size - got), 0);
            if (result <= 0) {
                break;
            }
            got += static_cast<size_t>(result);
        }
        bytes.resize(got);
        return bytes;
    }
    void Hangup() {
        closesocket(peer_);
        peer_ = INVALID_SOCKET;
    }

private:
    SOCKET listener_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    int port_ = 0;
};

class Entries : public ::testing::Test {
protected:
    void SetUp() override { DeleteAllLayerItems(); }
    void TearDown() override { DeleteAllLayerItems(); }

    int Create(int kind, int logFlag = 0, int logMask = 0, const char* logPath = nullptr) {
        int id = 0;
        return CreateCommunicationPort(kind, logFlag, logMask, logPath, &id);
    }

    // Every entry that needs a port, with arguments that are sound in
    // themselves, and the name to report.
    std::vector<std::pair<const char*, std::function<int()>>> PortEntries() {
        return {
            {"InitSerialPort", [] { return InitSerialPort("COM1", 9600, 1, 7, 0, 0); }},
            {"InitEthTCP", [] { return InitEthTCP("127.0.0.1", 9100); }},
            {"InitUsbPrinter", [] { return InitUsbPrinter("vid_0dd4"); }},
            {"SetSerialTimeout", [] { return SetSerialTimeout(10, 1000, 10, 1000, 10); }},
            {"SetEthTimeout", [] { return SetEthTimeout(1000, 1000); }},
            {"SetUsbTimeout", [] { return SetUsbTimeout(1000, 1000); }},
        };
    }

    unsigned char buffer_[64] = {};
    int count_ = -1;
};

}  // namespace

TEST_F(Entries, WithNoPortEveryPortEntryFailsWithNoPort) {
    for (auto& entry : PortEntries()) {
        EXPECT_EQ(ZKLINK_E_NO_PORT, entry.second()) << entry.first;
    }
    EXPECT_EQ(ZKLINK_E_NO_PORT, Open());
    EXPECT_EQ(ZKLINK_E_NO_PORT, Write(buffer_, 1));
    EXPECT_EQ(ZKLINK_E_NO_PORT, Write(buffer_, 0));
    EXPECT_EQ(ZKLINK_E_NO_PORT, Read(buffer_, sizeof buffer_, &count_));
    EXPECT_EQ(0, count_);
}

TEST_F(Entries, CloseAndDeleteAreSafeInEveryStateAndTwice) {
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(ZKLINK_OK, Close());
        EXPECT_EQ(ZKLINK_OK, DeleteAllLayerItems());
    }
    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_TCP));
    EXPECT_EQ(ZKLINK_OK, Close());
    EXPECT_EQ(ZKLINK_OK, Close());
    EXPECT_EQ(ZKLINK_OK, SetEthTimeout(1, 1)) << "Close keeps the port and its settings";
    EXPECT_EQ(ZKLINK_OK, DeleteAllLayerItems());
    EXPECT_EQ(ZKLINK_E_NO_PORT, SetEthTimeout(1, 1)) << "DeleteAllLayerItems forgets the port";
}

TEST_F(Entries, CreateRefusesUnknownKindsAndANullIdAndKeepsTheCurrentPort) {
    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_TCP));
    int id = 77;
    for (int kind : {-1, 3, 1000, INT_MIN}) {
        EXPECT_EQ(ZKLINK_E_ARGUMENT, CreateCommunicationPort(kind, 0, 0, nullptr, &id)) << kind;
    }
    EXPECT_EQ(77, id);
    EXPECT_EQ(ZKLINK_E_ARGUMENT,
              CreateCommunicationPort(ZKLINK_KIND_SERIAL, 0, 0, nullptr, nullptr));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, CreateCommunicationPort(ZKLINK_KIND_SERIAL, 2, 8, "x", &id));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, CreateCommunicationPort(ZKLINK_KIND_SERIAL, 1, 16, "x", &id));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, CreateCommunicationPort(ZKLINK_KIND_SERIAL, 1, -1, "x", &id));
    const std::string longLogPath(MAX_PATH, 'p');
    EXPECT_EQ(ZKLINK_E_ARGUMENT,
              CreateCommunicationPort(ZKLINK_KIND_SERIAL, 1, 8, longLogPath.c_str(), &id))
        << "a log path Windows cannot open would leave the log silently off";
    EXPECT_EQ(ZKLINK_OK, SetEthTimeout(1, 1)) << "the TCP port is still the current one";
}

TEST_F(Entries, EveryCreatedPortGetsANewIdAndReplacesTheOneBefore) {
    int first = 0, second = 0;
    ASSERT_EQ(ZKLINK_OK, CreateCommunicationPort(ZKLINK_KIND_TCP, 0, 0, nullptr, &first));
    ASSERT_EQ(ZKLINK_OK, InitEthTCP("127.0.0.1", 9100));
    ASSERT_EQ(ZKLINK_OK, CreateCommunicationPort(ZKLINK_KIND_USB, 0, 0, nullptr, &second));
    EXPECT_GT(first, 0);
    EXPECT_GT(second, first);
    EXPECT_EQ(ZKLINK_E_WRONG_KIND, SetEthTimeout(1, 1));
    EXPECT_EQ(ZKLINK_E_NOT_SET_UP, Open()) << "the new port starts without set-up";
}

TEST_F(Entries, APortOfAnotherKindRefusesTheOtherKindsEntries) {
    const std::vector<std::vector<const char*>> allowed = {
        {"InitSerialPort", "SetSerialTimeout"},
        {"InitEthTCP", "SetEthTimeout"},
        {"InitUsbPrinter", "SetUsbTimeout"},
    };
    for (int kind = 0; kind < 3; ++kind) {
        ASSERT_EQ(ZKLINK_OK, Create(kind));
        for (auto& entry : PortEntries()) {
            bool own = std::string(entry.first) == allowed[kind][0] ||
                       std::string(entry.first) == allowed[kind][1];
            EXPECT_EQ(own ? ZKLINK_OK : ZKLINK_E_WRONG_KIND, entry.second())
                << entry.first << " on kind " << kind;
        }
    }
}

TEST_F(Entries, OpenBeforeInitAndTransfersBeforeOpenFail) {
    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_SERIAL));
    EXPECT_EQ(ZKLINK_E_NOT_SET_UP, Open());
    EXPECT_EQ(ZKLINK_E_NOT_OPEN, Write(buffer_, 1));
    EXPECT_EQ(ZKLINK_E_NOT_OPEN, Write(buffer_, 0));
    EXPECT_EQ(ZKLINK_E_NOT_OPEN, Read(buffer_, sizeof buffer_, &count_));
    EXPECT_EQ(0, count_);
}

struct SerialCase {
    const char* name;
    int baud, stopBits, dataBits, parity, flowControl;
    int expected;
};

class SerialSetUp : public Entries, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialSetUp, NamesAndLineValuesAreCheckedAtInit) {
    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_SERIAL));
    const SerialCase& c = GetParam();
    EXPECT_EQ(c.expected,
              InitSerialPort(c.name, c.baud, c.stopBits, c.dataBits, c.parity, c.flowControl));
}

const std::string kLongName(400, 'C');

INSTANTIATE_TEST_SUITE_P(
    Table, SerialSetUp,
    ::testing::Values(SerialCase{"COM1", 9600, 1, 7, 0, 0, ZKLINK_OK},
                      SerialCase{"com256", 115200, 2, 8, 2, 1, ZKLINK_OK},
                      SerialCase{"\\\\.\\COM12", 300, 1, 5, 4, 2, ZKLINK_OK},
                      SerialCase{"COM0", 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM257", 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM01", 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM", 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1x", 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"LPT1", 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"", 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"\\\\.\\", 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{nullptr, 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{kLongName.c_str(), 9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 0, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", -9600, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 4000001, 1, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 9600, 0, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 9600, 3, 7, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 9600, 1, 4, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 9600, 1, 9, 0, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 9600, 1, 7, -1, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 9600, 1, 7, 5, 0, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 9600, 1, 7, 0, -1, ZKLINK_E_ARGUMENT},
                      SerialCase{"COM1", 9600, 1, 7, 0, 3, ZKLINK_E_ARGUMENT}),
    [](const ::testing::TestParamInfo<SerialCase>& info) {
        std::string name = info.param.name == nullptr ? "null" : info.param.name;
        name = name.substr(0, 12);
        for (char& c : name) {
            c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return "Case" + std::to_string(info.index) + "_" + name +
               (info.param.expected == ZKLINK_OK ? "_Taken" : "_Refused");
    });

TEST_F(Entries, TcpAndUsbSetUpRefuseMissingOverlongAndOutOfRangeValues) {
    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_TCP));
    const std::string longHost(256, 'h');
    EXPECT_EQ(ZKLINK_E_ARGUMENT, InitEthTCP(nullptr, 9100));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, InitEthTCP("", 9100));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, InitEthTCP(longHost.c_str(), 9100));
    for (int port : {0, -1, 65536, INT_MAX}) {
        EXPECT_EQ(ZKLINK_E_ARGUMENT, InitEthTCP("127.0.0.1", port)) << port;
    }
    EXPECT_EQ(ZKLINK_E_NOT_SET_UP, Open()) << "a refused set-up leaves nothing to open";
    EXPECT_EQ(ZKLINK_OK, InitEthTCP(longHost.substr(1).c_str(), 65535));
    EXPECT_EQ(ZKLINK_OK, InitEthTCP("::1", 1));

    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_USB));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, InitUsbPrinter(nullptr));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, InitUsbPrinter(""));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, InitUsbPrinter(kLongName.c_str()));
    EXPECT_EQ(ZKLINK_OK, InitUsbPrinter("\\\\?\\usb#vid_0dd4&pid_0195#1#{28d78fad}"));
}

// A device path that names a file would have every Write overwrite it from
// its start; disks and volumes are worse. Refused at Open, nothing written.
TEST_F(Entries, UsbPathsThatNameAFileOrADiskAreRefusedAndNeverWritten) {
    const std::string victim = TempPath("zklink-victim.ini");
    const std::string content = "[printer]\r\nkeep=this\r\n";
    std::ofstream(victim, std::ios::binary) << content;
    for (const std::string& path :
         {"\\\\?\\" + victim, "\\\\.\\" + victim, std::string("\\\\.\\C:"),
          std::string("\\\\.\\PhysicalDrive0")}) {
        ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_USB));
        ASSERT_EQ(ZKLINK_OK, InitUsbPrinter(path.c_str()));
        int result = Open();
        EXPECT_NE(ZKLINK_OK, result) << path;
        if (path.find(victim) != std::string::npos) {
            EXPECT_EQ(ZKLINK_E_NOT_A_DEVICE, result) << path;
        }
        Write(reinterpret_cast<const unsigned char*>("XXXX"), 4);
        Close();
    }
    EXPECT_EQ(content, FileText(victim));
    DeleteFileA(victim.c_str());
}

TEST_F(Entries, TimeOutsOutOfRangeAreRefused) {
    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_SERIAL));
    EXPECT_EQ(ZKLINK_OK, SetSerialTimeout(10, 0, 0, 0, 0));
    EXPECT_EQ(ZKLINK_OK, SetSerialTimeout(1000, 86400000, 1000, 86400000, 1000));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, SetSerialTimeout(0, 1000, 10, 1000, 10));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, SetSerialTimeout(10, -1, 10, 1000, 10));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, SetSerialTimeout(10, 1000, 1001, 1000, 10));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, SetSerialTimeout(10, 1000, 10, 86400001, 10));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, SetSerialTimeout(10, 1000, 10, 1000, -10));
    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_TCP));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, SetEthTimeout(-1, 1000));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, SetEthTimeout(1000, INT_MIN));
    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_USB));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, SetUsbTimeout(86400001, 1000));
}

TEST_F(Entries, HostileTransferArgumentsFailOnAnOpenPortAndLeaveItWorking) {
    LoopbackListener peer;
    ASSERT_EQ(ZKLINK_OK, Create(ZKLINK_KIND_TCP));
    ASSERT_EQ(ZKLINK_OK, InitEthTCP("127.0.0.1", peer.Port()));
    ASSERT_EQ(ZKLINK_OK, SetEthTimeout(2000, 200));
    ASSERT_EQ(ZKLINK_OK, Open());
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(ZKLINK_E_ALREADY_OPEN, Open());
    EXPECT_EQ(ZKLINK_E_ALREADY_OPEN, InitEthTCP("127.0.0.1", 1));

    EXPECT_EQ(ZKLINK_E_ARGUMENT, Write(nullptr, 5));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, Write(buffer_, -1));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, Write(buffer_, INT_MIN));
    EXPECT_EQ(ZKLINK_OK, Write(nullptr, 0));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, Read(nullptr, 10, &count_));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, Read(buffer_, -1, &count_));
    EXPECT_EQ(ZKLINK_E_ARGUMENT, Read(buffer_, 10, nullptr));
    EXPECT_EQ(0, count_);
    count_ = -1;
    EXPECT_EQ(ZKLINK_OK, Read(buffer_, 0, &count_));
    EXPECT_EQ(0, count_);

    ASSERT_TRUE(peer.Send("abc"));
    ASSERT_EQ(ZKLINK_OK, Read(buffer_, 2, &count_));
    EXPECT_EQ("ab", std::string(reinterpret_cast<char*>(buffer_), count_))
        << "never more than the capacity";
    ASSERT_EQ(ZKLINK_OK, Read(buffer_, sizeof buffer_, &count_));
    EXPECT_EQ("c", std::string(reinterpret_cast<char*>(buffer_), count_));
    ASSERT_EQ(ZKLINK_OK, Write(reinterpret_cast<const unsigned char*>("xyz"), 3));
    EXPECT_EQ("xyz", peer.Receive(3));

    count_ = -1;
    ASSERT_EQ(ZKLINK_OK, Read(buffer_, sizeof buffer_, &count_)) << "a read time-out is success";
    EXPECT_EQ(0, count_);
    peer.Hangup();
    EXPECT_EQ(ZKLINK_E_CLOSED, Read(buffer_, sizeof buffer_, &count_));
    EXPECT_EQ(0, count_);
}

class LogLines : public Entries {
protected:
    void SetUp() override {
        Entries::SetUp();
        path_ = TempPath("zklink-entries-test.log");
        DeleteFileA(path_.c_str());
    }
    void TearDown() override {
        Entries::TearDown();
        DeleteFileA(path_.c_str());
    }

    // One conversation that touches every kind of line: a refused
    // entry, the set-up steps, one write and one read.
    std::string Converse(int logFlag, int logMask, const char* path) {
        LoopbackListener peer;
        int id = 0;
        EXPECT_EQ(ZKLINK_OK, CreateCommunicationPort(ZKLINK_KIND_TCP, logFlag, logMask, path, &id));
        EXPECT_EQ(ZKLINK_E_ARGUMENT, InitEthTCP("127.0.0.1", 0));
        EXPECT_EQ(ZKLINK_OK, InitEthTCP("127.0.0.1", peer.Port()));
        EXPECT_EQ(ZKLINK_OK, Open());
        EXPECT_TRUE(peer.Accept());
        EXPECT_EQ(ZKLINK_OK, Write(reinterpret_cast<const unsigned char*>("\x02OK\x03"), 4));
        EXPECT_TRUE(peer.Send("\x06"));
        EXPECT_EQ(ZKLINK_OK, Read(buffer_, sizeof buffer_, &count_));
        EXPECT_EQ(1, count_);
        DeleteAllLayerItems();
        return FileText(path_);
    }

    std::string path_;
};

TEST_F(LogLines, EachMaskBitAddsItsOwnLines) {
    struct Expectation {
        int mask;
        bool error, step, transfer, bytes;
    };
    for (Expectation e :
         {Expectation{8, true, false, false, false}, Expectation{4, false, true, false, false},
          Expectation{2, false, false, true, false}, Expectation{1, false, false, false, true},
          Expectation{15, true, true, true, true}}) {
        DeleteFileA(path_.c_str());
        std::string log = Converse(1, e.mask, path_.c_str());
        SCOPED_TRACE("mask " + std::to_string(e.mask) + ":\n" + log);
        EXPECT_EQ(e.error, log.find("InitEthTCP: the host must be") != std::string::npos);
        EXPECT_EQ(e.step, log.find("Open: connected to 127.0.0.1:") != std::string::npos);
        EXPECT_EQ(e.transfer, log.find("Write: 4 bytes sent") != std::string::npos);
        EXPECT_EQ(e.transfer, log.find("Read: 1 bytes received") != std::string::npos);
        EXPECT_EQ(e.bytes, log.find("Write bytes: 02 4F 4B 03\r\n") != std::string::npos);
        EXPECT_EQ(e.bytes, log.find("Read bytes: 06\r\n") != std::string::npos);
    }
}

TEST_F(LogLines, LinesAreTimeStampedAndEndInCrLf) {
    std::string log = Converse(1, 15, path_.c_str());
    ASSERT_FALSE(log.empty());
    std::istringstream lines(log);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_GE(line.size(), 27u) << line;
        EXPECT_EQ('[', line[0]) << line;
        EXPECT_EQ("] ", line.substr(24, 2)) << line;
        EXPECT_EQ('\r', line.back()) << line;
    }
    EXPECT_GE(count, 6);
}

TEST_F(LogLines, FlagOffOrNoPathWritesNothing) {
    Converse(0, 15, path_.c_str());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path_.c_str()));
    Converse(1, 15, nullptr);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path_.c_str()));
    Converse(1, 0, path_.c_str());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path_.c_str()));
}

TEST_F(LogLines, AReaderMayHoldTheLogOpenWhileTheLayerWrites) {
    HANDLE reader = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    std::string log = Converse(1, 15, path_.c_str());
    CloseHandle(reader);
    EXPECT_NE(std::string::npos, log.find("Write: 4 bytes sent")) << log;
}

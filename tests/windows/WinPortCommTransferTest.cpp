// SPDX-License-Identifier: Apache-2.0
// writeData, readData, SetDeviceTimeout, SetDeviceBuffer and closeDevice end to
// end, with the mends for failed writes, short arrays, missing read buffers,
// failed Java arrays and time-outs beyond the 32-bit range.
#include <climits>
#include <cstdlib>
#include <thread>

#include "WinPortCommFixture.h"

#define WRITE_DATA WIN_PORT_COMM "writeData: "
#define READ_DATA WIN_PORT_COMM "readData: "
#define SET_DEVICE_TIMEOUT WIN_PORT_COMM "SetDeviceTimeout: "
#define OPEN_DEVICE WIN_PORT_COMM "openDevice: "

struct WriteCase {
    jlong size;
    int sent;
};

class WriteSizes : public WinPortComm, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteSizes, SendSizeBytesButNeverMoreThanTheArray) {
    ASSERT_EQ(0, Open("RS232", "COM1"));
    const std::string bytes("0123456789");
    EXPECT_EQ(GetParam().sent, Write(jni_.MakeByteArray(bytes), GetParam().size));
    const ZkLinkCall* call = layer_.LastCall("Write");
    ASSERT_NE(nullptr, call);
    EXPECT_EQ((std::vector<int>{GetParam().sent}), Arguments("Write"));
    EXPECT_EQ(bytes.substr(0, GetParam().sent),
              std::string(reinterpret_cast<const char*>(call->data), call->dataLength));
    EXPECT_EQ((std::vector<jint>{0}), jni_.ReleaseModes());
    EXPECT_TRUE(Traced(WRITE_DATA "(A)Buffer Size = " + std::to_string(GetParam().sent)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriteSizes,
                         ::testing::Values(WriteCase{0, 10}, WriteCase{-1, 10}, WriteCase{3, 3},
                                           WriteCase{10, 10}, WriteCase{11, 10},
                                           WriteCase{0x100000003LL, 3},
                                           WriteCase{0x180000000LL, 10}),
                         [](const ::testing::TestParamInfo<WriteCase>& info) {
                             return "Size" + CaseName(std::to_string(info.param.size)) + "Sends" +
                                    std::to_string(info.param.sent);
                         });

TEST_F(WinPortComm, FailedWriteReturnsMinusOneAndStillTracesTheCount) {
    ASSERT_EQ(0, Open("RS232", "COM1"));
    ClearTrace();
    layer_.SetResult("Write", 5);
    EXPECT_EQ(-1, Write(jni_.MakeByteArray("abc"), 0));
    EXPECT_EQ((std::vector<std::string>{WRITE_DATA "START", WRITE_DATA "(B)Buffer Size = 0",
                                        WRITE_DATA "(A)Buffer Size = 3", WRITE_DATA "Write Error",
                                        WRITE_DATA "END"}),
              TraceTexts());
    EXPECT_EQ((std::vector<jint>{0}), jni_.ReleaseModes());
}

TEST_F(WinPortComm, WriteWithoutAPortFailsAfterHandingTheBytesBack) {
    EXPECT_EQ(-1, Write(jni_.MakeByteArray("abc"), 0));
    EXPECT_EQ((std::vector<jint>{0}), jni_.ReleaseModes());
}

TEST_F(WinPortComm, NullArraySendsNothing) {
    ASSERT_EQ(0, Open("RS232", "COM1"));
    EXPECT_EQ(-1, Write(nullptr, 4));
    EXPECT_EQ(nullptr, layer_.LastCall("Write"));
    EXPECT_TRUE(Traced(WRITE_DATA "Write Error"));
}

TEST_F(WinPortComm, ReadReturnsTheBytesTheLayerReadWithoutAnEndLine) {
    ASSERT_EQ(0, Open("RS232", "COM1"));
    ClearTrace();
    layer_.SetRead(reinterpret_cast<const unsigned char*>("ab\0cd"), 5);
    jbyteArray bytes = Read();
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(std::string("ab\0cd", 5), jni_.BytesOf(bytes));
    EXPECT_EQ((std::vector<int>{2048}), Arguments("Read"));
    EXPECT_EQ((std::vector<std::string>{READ_DATA "START", READ_DATA "Read 5 Bytes"}),
              TraceTexts());
}

TEST_F(WinPortComm, ReadOfNothingGivesAnEmptyArrayNotNull) {
    ASSERT_EQ(0, Open("RS232", "COM1"));
    jbyteArray bytes = Read();
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ("", jni_.BytesOf(bytes));
}

TEST_F(WinPortComm, ReadErrorGivesNull) {
    ASSERT_EQ(0, Open("RS232", "COM1"));
    ClearTrace();
    layer_.SetRead(reinterpret_cast<const unsigned char*>("abc"), 3);
    layer_.SetResult("Read", -7);
    EXPECT_EQ(nullptr, Read());
    EXPECT_EQ(
        (std::vector<std::string>{READ_DATA "START", READ_DATA "Read Error", READ_DATA "END"}),
        TraceTexts());
    EXPECT_EQ(0, jni_.NewByteArrayCalls());
}

TEST_F(WinPortComm, ReadBeforeOpenAndAfterCloseGivesNullWithoutAskingTheLayer) {
    EXPECT_EQ(nullptr, Read());
    ASSERT_EQ(0, Open("RS232", "COM1"));
    EXPECT_EQ(0, Close());
    ClearTrace();
    EXPECT_EQ(nullptr, Read());
    EXPECT_EQ(nullptr, layer_.LastCall("Read"));
    EXPECT_EQ(
        (std::vector<std::string>{READ_DATA "START", READ_DATA "Read Error", READ_DATA "END"}),
        TraceTexts());
}

TEST_F(WinPortComm, OpenThatFailedAfterLoadingLeavesNoBufferAndReadsFail) {
    layer_.SetResult("Open", 1);
    ASSERT_EQ(-1, Open("RS232", "COM1"));
    EXPECT_EQ(nullptr, Read());
    EXPECT_EQ(nullptr, layer_.LastCall("Read"));
}

TEST_F(WinPortComm, NegativeReadSizeLeavesNoBufferUntilAUsableSizeComes) {
    ASSERT_EQ(0, Open("RS232", "COM1"));
    SetBuffer(2048, -1);
    EXPECT_EQ(nullptr, Read());
    EXPECT_EQ(nullptr, layer_.LastCall("Read"));
    SetBuffer(2048, 16);
    EXPECT_NE(nullptr, Read());
    EXPECT_EQ((std::vector<int>{16}), Arguments("Read"));
}

TEST_F(WinPortComm, FailedJavaArrayGivesNullAndLeavesNoException) {
    ASSERT_EQ(0, Open("RS232", "COM1"));
    layer_.SetRead(reinterpret_cast<const unsigned char*>("abc"), 3);
    jni_.SetNewByteArrayFails(true);
    EXPECT_EQ(nullptr, Read());
    EXPECT_EQ(1, jni_.NewByteArrayCalls());
}

TEST_F(WinPortComm, SetDeviceBufferChangesTheCapacityHandedToRead) {
    SetBuffer(100, 4096);
    ASSERT_EQ(0, Open("RS232", "COM1"));
    Read();
    EXPECT_EQ((std::vector<int>{4096}), Arguments("Read"));
    // A new size takes effect at once, with the port open.
    layer_.SetRead(reinterpret_cast<const unsigned char*>("abc"), 3);
    SetBuffer(100, 2);
    jbyteArray bytes = Read();
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ("ab", jni_.BytesOf(bytes));
    SetBuffer(100, 0);
    bytes = Read();
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ("", jni_.BytesOf(bytes));
}

// Another thread closes the port or changes the read buffer while a read is
// still filling the old buffer: the read must fill memory that is still its
// own, and answer null. Blocks of the freed buffer's size, taken at once and
// filled with a pattern, show a write into freed memory.
struct BufferChange {
    const char* name;
    bool closes;
};

class ReadBufferChanges : public WinPortComm, public ::testing::WithParamInterface<BufferChange> {};

TEST_P(ReadBufferChanges, WhileAReadFillsItEndThatReadWithNullAndNoStrayWrite) {
    const size_t kBlock = 2048 + 1;
    const int kCanaries = 8;
    ASSERT_EQ(0, Open("RS232", "COM1"));
    std::string reply(2048, 'R');
    layer_.SetRead(reinterpret_cast<const unsigned char*>(reply.data()), 2048);
    layer_.HoldRead(1);
    jbyteArray result = nullptr;
    bool readReturned = false;
    std::thread reader([&] {
        zkpos_test::TestJniEnv jni;
        result = ReadIn(jni);
        readReturned = true;
    });
    ASSERT_TRUE(layer_.WaitForHeldRead(10000));
    if (GetParam().closes) {
        Close();
    } else {
        SetBuffer(2048, 2048);
    }
    std::vector<unsigned char*> canaries;
    for (int i = 0; i < kCanaries; ++i) {
        canaries.push_back(static_cast<unsigned char*>(malloc(kBlock)));
        memset(canaries.back(), 0xC5, kBlock);
    }
    layer_.ReleaseRead();
    reader.join();
    EXPECT_TRUE(readReturned);
    EXPECT_EQ(nullptr, result) << "a read whose buffer went away must not report bytes";
    for (unsigned char* canary : canaries) {
        EXPECT_EQ(std::string(kBlock, '\xC5'), std::string(reinterpret_cast<char*>(canary), kBlock))
            << "the layer wrote into memory freed under it";
        free(canary);
    }
    layer_.HoldRead(0);
    if (Open("RS232", "COM1") == 0) {
        EXPECT_NE(nullptr, Read()) << "the next read works again";
    }
}

INSTANTIATE_TEST_SUITE_P(ClosedOrReplaced, ReadBufferChanges,
                         ::testing::Values(BufferChange{"closeDevice", true},
                                           BufferChange{"SetDeviceBuffer", false}),
                         [](const ::testing::TestParamInfo<BufferChange>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(WinPortComm, TimeoutsBeforeAnyOpenAreStoredAndAppliedByTheNextOpen) {
    SetTimeout(3, 7);
    EXPECT_EQ("", layer_.CallNames());
    EXPECT_FALSE(LogFolderExists());
    ASSERT_EQ(0, Open("RS232", "COM1"));
    EXPECT_EQ((std::vector<int>{10, 7000, 10, 3000, 10}), Arguments("SetSerialTimeout"));
}

struct TimeoutCase {
    const char* deviceBus;
    const char* entry;
    std::vector<int> arguments;
    const char* tag;
};

class TimeoutKinds : public WinPortComm, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(TimeoutKinds, GoToTheLayerOfTheOpenKindAtOnce) {
    ASSERT_EQ(0, Open(GetParam().deviceBus, "port"));
    ClearTrace();
    SetTimeout(3, 7);
    EXPECT_EQ(GetParam().arguments, Arguments(GetParam().entry));
    EXPECT_EQ((std::vector<std::string>{
                  SET_DEVICE_TIMEOUT "START", SET_DEVICE_TIMEOUT "Timeout Write = 3(Sec)",
                  SET_DEVICE_TIMEOUT "Timeout Read = 7(Sec)", GetParam().tag,
                  OPEN_DEVICE "Set Timeouts on Com DLL", SET_DEVICE_TIMEOUT "END"}),
              TraceTexts());

    ClearTrace();
    layer_.SetResult(GetParam().entry, 1);
    SetTimeout(3, 7);
    EXPECT_EQ((std::vector<std::string>{
                  SET_DEVICE_TIMEOUT "START", SET_DEVICE_TIMEOUT "Timeout Write = 3(Sec)",
                  SET_DEVICE_TIMEOUT "Timeout Read = 7(Sec)", GetParam().tag,
                  OPEN_DEVICE "ERROR Set Timeouts on Com DLL", SET_DEVICE_TIMEOUT "END"}),
              TraceTexts());
}

INSTANTIATE_TEST_SUITE_P(Kinds, TimeoutKinds,
                         ::testing::Values(TimeoutCase{"RS232",
                                                       "SetSerialTimeout",
                                                       {10, 7000, 10, 3000, 10},
                                                       OPEN_DEVICE "COM Port Timeout Set (COM)"},
                                           TimeoutCase{"Ethernet",
                                                       "SetEthTimeout",
                                                       {3000, 7000},
                                                       OPEN_DEVICE "COM Port Timeout Set (ETH)"},
                                           TimeoutCase{"USB",
                                                       "SetUsbTimeout",
                                                       {3000, 7000},
                                                       OPEN_DEVICE "COM Port Timeout Set (USB)"}),
                         [](const ::testing::TestParamInfo<TimeoutCase>& info) {
                             return std::string(info.param.deviceBus);
                         });

TEST_F(WinPortComm, TimeoutsAfterCloseStillGoToTheKindAndFail) {
    ASSERT_EQ(0, Open("Ethernet", "printer"));
    Close();
    ClearTrace();
    int calls = layer_.CallCount();
    SetTimeout(3, 7);
    EXPECT_EQ(calls, layer_.CallCount());
    EXPECT_TRUE(Traced(OPEN_DEVICE "COM Port Timeout Set (ETH)"));
    EXPECT_TRUE(Traced(OPEN_DEVICE "ERROR Set Timeouts on Com DLL"));
}

TEST_F(WinPortComm, TimeoutsStickAtThe32BitLimitsInsteadOfWrapping) {
    ASSERT_EQ(0, Open("Ethernet", "printer"));
    SetTimeout(2147483, -2147483);
    EXPECT_EQ((std::vector<int>{2147483000, -2147483000}), Arguments("SetEthTimeout"));
    SetTimeout(2147484, -2147484);
    EXPECT_EQ((std::vector<int>{INT_MAX, INT_MIN}), Arguments("SetEthTimeout"));
    // Only the low 32 bits of the Java long count.
    SetTimeout(0x100000003LL, 0x100000007LL);
    EXPECT_EQ((std::vector<int>{3000, 7000}), Arguments("SetEthTimeout"));
}

TEST_F(WinPortComm, CloseReleasesTheLayerAndAlwaysReturnsZero) {
    EXPECT_EQ(0, Close());
    EXPECT_EQ("", layer_.CallNames());
    ASSERT_EQ(0, Open("USB", "USB001"));
    ClearTrace();
    EXPECT_EQ(0, Close());
    EXPECT_EQ("CreateCommunicationPort InitUsbPrinter Open SetUsbTimeout Close DeleteAllLayerItems",
              layer_.CallNames());
    EXPECT_EQ((std::vector<std::string>{WIN_PORT_COMM "closeDevice: START",
                                        WIN_PORT_COMM "closeDevice: END"}),
              TraceTexts());
}

TEST_F(WinPortComm, TracingOffWritesNothingAtAll) {
    ASSERT_EQ(0, Open("RS232", "COM1", 9600, false, 5));
    SetTimeout(3, 7);
    SetBuffer(10, 10);
    Write(jni_.MakeByteArray("abc"), 0);
    Read();
    Close();
    EXPECT_FALSE(LogFolderExists());
}

TEST_F(WinPortComm, ArrayElementsTheVmCannotGiveFailTheWriteWithoutAnException) {
    ASSERT_EQ(0, Open("RS232", "COM1"));
    jni_.SetGetByteArrayElementsFails(true);
    EXPECT_EQ(-1, Write(jni_.MakeByteArray("abc"), 0));
    EXPECT_EQ(nullptr, layer_.LastCall("Write"));
    EXPECT_TRUE(jni_.ReleaseModes().empty());
}

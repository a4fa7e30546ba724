// SPDX-License-Identifier: Apache-2.0
// What ZkPosDll64.dll with our ZkLink64.dll costs under Wine, as ratios
// against the plain Windows calls on the same port in the same run:
//   - a 16-byte TCP round trip (writeData + readData until 16 bytes are back)
//     against Winsock send + recv on a socket of our own;
//   - a 5-byte serial reply (writeData of one request byte + readData until 5
//     bytes are back) against WriteFile + ReadFile on the same COM port.
// The far end is zkpos_bench_peer: its TCP echo on 127.0.0.1:9100 and its
// pseudo-terminal, which zklink-bench.sh maps to the COM port named here.
// Prints its rows for the benchmark's table:
//   ROW <tab> measurement <tab> variant <tab> median <tab> baseline <tab> ratio <tab> goal <tab>
//   met
// Usage: zkpos_bench_zklink.exe COM_PORT ROUNDS PER_ROUND
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "BenchClock.h"

#include "TestJniEnv.h"
#include "ZkLink.h"
#include "ZkPosPortComm.h"

namespace {

const int kRoundTripSize = 16;
const int kReplySize = 5;
const int kWarmUpRounds = 2;

// The port DLL as a Java service uses it, through its exports.
struct PortDll {
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_openDevice) openDevice;
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_closeDevice) closeDevice;
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_readData) readData;
    decltype(&Java_com_zelkor_jpos_services_WinPortComm_writeData) writeData;

    bool Load(const char* path) {
        HMODULE dll = LoadLibraryA(path);
        auto resolve = [dll](const char* method) {
            std::string name = std::string("Java_com_zelkor_jpos_services_WinPortComm_") + method;
            return reinterpret_cast<void (*)()>(GetProcAddress(dll, name.c_str()));
        };
        openDevice = reinterpret_cast<decltype(openDevice)>(resolve("openDevice"));
        closeDevice = reinterpret_cast<decltype(closeDevice)>(resolve("closeDevice"));
        readData = reinterpret_cast<decltype(readData)>(resolve("readData"));
        writeData = reinterpret_cast<decltype(writeData)>(resolve("writeData"));
        return dll != nullptr && openDevice && closeDevice && readData && writeData;
    }
};

// The layer's own entries, called directly: what the port DLL and the JNI
// calls add shows as the difference from these rows.
struct Layer {
    decltype(&::CreateCommunicationPort) CreateCommunicationPort;
    decltype(&::InitSerialPort) InitSerialPort;
    decltype(&::InitEthTCP) InitEthTCP;
    decltype(&::Open) Open;
    decltype(&::SetSerialTimeout) SetSerialTimeout;
    decltype(&::SetEthTimeout) SetEthTimeout;
    decltype(&::Write) Write;
    decltype(&::Read) Read;
    decltype(&::DeleteAllLayerItems) DeleteAllLayerItems;

    bool Load(const char* path) {
        HMODULE dll = LoadLibraryA(path);
        bool all = dll != nullptr;
        auto resolve = [dll, &all](auto* entry, const char* name) {
            *entry = reinterpret_cast<std::remove_pointer_t<decltype(entry)>>(
                reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
            all = all && *entry != nullptr;
        };
        resolve(&CreateCommunicationPort, "CreateCommunicationPort");
        resolve(&InitSerialPort, "InitSerialPort");
        resolve(&InitEthTCP, "InitEthTCP");
        resolve(&Open, "Open");
        resolve(&SetSerialTimeout, "SetSerialTimeout");
        resolve(&SetEthTimeout, "SetEthTimeout");
        resolve(&Write, "Write");
        resolve(&Read, "Read");
        resolve(&DeleteAllLayerItems, "DeleteAllLayerItems");
        return all;
    }
};

zkpos_test::TestJniEnv* g_jni = nullptr;
PortDll g_dll;
Layer g_layer;

// Writes request through the layer, then reads until size bytes came.
bool ExchangeThroughLayer(const unsigned char* request, int requestSize, int size) {
    if (g_layer.Write(request, requestSize) != 0) {
        return false;
    }
    unsigned char reply[2048];
    int got = 0;
    while (got < size) {
        int count = 0;
        if (g_layer.Read(reply, sizeof reply, &count) != 0 || count == 0) {
            return false;
        }
        got += count;
    }
    return got == size;
}

double TcpThroughLayer(int count) {
    int id = 0;
    const unsigned char header[] = {'E', 0, 0, 0, 0};
    if (g_layer.CreateCommunicationPort(1, 0, 0, nullptr, &id) != 0 ||
        g_layer.InitEthTCP("127.0.0.1", 9100) != 0 || g_layer.Open() != 0 ||
        g_layer.SetEthTimeout(5000, 5000) != 0 || g_layer.Write(header, sizeof header) != 0) {
        g_layer.DeleteAllLayerItems();
        return -1;
    }
    unsigned char request[kRoundTripSize];
    memset(request, 'q', sizeof request);
    double start = Now();
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        ok = ExchangeThroughLayer(request, kRoundTripSize, kRoundTripSize);
    }
    double elapsed = Now() - start;
    g_layer.DeleteAllLayerItems();
    return ok ? elapsed / count : -1;
}

double SerialThroughLayer(const char* port, int count) {
    int id = 0;
    if (g_layer.CreateCommunicationPort(0, 0, 0, nullptr, &id) != 0 ||
        g_layer.InitSerialPort(port, 9600, 1, 7, 0, 0) != 0 || g_layer.Open() != 0 ||
        g_layer.SetSerialTimeout(10, 5000, 10, 5000, 10) != 0) {
        g_layer.DeleteAllLayerItems();
        return -1;
    }
    const unsigned char request[] = {'a'};
    double start = Now();
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        ok = ExchangeThroughLayer(request, 1, kReplySize);
    }
    double elapsed = Now() - start;
    g_layer.DeleteAllLayerItems();
    return ok ? elapsed / count : -1;
}

bool OpenThroughDll(const char* bus, const char* port) {
    return g_dll.openDevice(g_jni->Env(), g_jni->Self(), g_jni->MakeString(bus),
                            g_jni->MakeString(port), 9600, JNI_FALSE, 0) == 0;
}

// Writes request, then reads until size bytes came; false on any failure.
bool ExchangeThroughDll(jbyteArray request, jlong requestSize, size_t size) {
    g_dll.writeData(g_jni->Env(), g_jni->Self(), request, requestSize);
    size_t got = 0;
    while (got < size) {
        jbyteArray reply = g_dll.readData(g_jni->Env(), g_jni->Self(), 0);
        if (reply == nullptr) {
            return false;
        }
        size_t part = g_jni->BytesOf(reply).size();
        if (part == 0) {
            return false;
        }
        got += part;
    }
    return got == size;
}

// Nanoseconds per round trip through the DLL, or -1.
double TcpThroughDll(int count) {
    if (!OpenThroughDll("Ethernet", "127.0.0.1:9100")) {
        return -1;
    }
    const char header[] = {'E', 0, 0, 0, 0};
    jbyteArray echo = g_jni->MakeByteArray(header, sizeof header);
    jbyteArray request = g_jni->MakeByteArray(std::string(kRoundTripSize, 'q'));
    g_dll.writeData(g_jni->Env(), g_jni->Self(), echo, sizeof header);
    double start = Now();
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        ok = ExchangeThroughDll(request, kRoundTripSize, kRoundTripSize);
    }
    double elapsed = Now() - start;
    g_dll.closeDevice(g_jni->Env(), g_jni->Self());
    return ok ? elapsed / count : -1;
}

double TcpPlain(int count) {
    SOCKET peer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9100);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    BOOL noDelay = TRUE;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    const char header[] = {'E', 0, 0, 0, 0};
    if (connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(peer, header, sizeof header, 0) != sizeof header) {
        closesocket(peer);
        return -1;
    }
    char request[kRoundTripSize];
    memset(request, 'q', sizeof request);
    char reply[kRoundTripSize];
    double start = Now();
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        ok = send(peer, request, kRoundTripSize, 0) == kRoundTripSize;
        for (int got = 0; ok && got < kRoundTripSize;) {
            int part = recv(peer, reply + got, kRoundTripSize - got, 0);
            ok = part > 0;
            got += part;
        }
    }
    double elapsed = Now() - start;
    closesocket(peer);
    return ok ? elapsed / count : -1;
}

double SerialThroughDll(const char* port, int count) {
    if (!OpenThroughDll("RS232", port)) {
        return -1;
    }
    jbyteArray request = g_jni->MakeByteArray(std::string("a"));
    double start = Now();
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        ok = ExchangeThroughDll(request, 1, kReplySize);
    }
    double elapsed = Now() - start;
    g_dll.closeDevice(g_jni->Env(), g_jni->Self());
    return ok ? elapsed / count : -1;
}

// The same line and the same read time-outs as the layer sets.
double SerialPlain(const char* port, int count) {
    std::string path = std::string("\\\\.\\") + port;
    HANDLE line = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (line == INVALID_HANDLE_VALUE) {
        return -1;
    }
    DCB settings{};
    settings.DCBlength = sizeof settings;
    GetCommState(line, &settings);
    settings.BaudRate = 9600;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    SetCommState(line, &settings);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = 5000;
    timeouts.WriteTotalTimeoutConstant = 5000;
    SetCommTimeouts(line, &timeouts);
    char reply[kReplySize];
    double start = Now();
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        DWORD moved = 0;
        ok = WriteFile(line, "a", 1, &moved, nullptr) && moved == 1;
        for (DWORD got = 0; ok && got < kReplySize; got += moved) {
            ok = ReadFile(line, reply + got, kReplySize - got, &moved, nullptr) && moved > 0;
        }
    }
    double elapsed = Now() - start;
    CloseHandle(line);
    return ok ? elapsed / count : -1;
}

// goal: the highest ratio that meets it, 0 for a row without one.
void PrintRow(const char* variant, const char* baseline, const std::vector<double>& measured,
              const std::vector<double>& plain, const std::vector<double>& ratios, double goal) {
    double ratio = Median(ratios);
    char goalText[16] = "-";
    if (goal > 0) {
        snprintf(goalText, sizeof goalText, "<= %.2fx", goal);
    }
    printf("ROW\t5 ZkLink64.dll, Windows (Wine)\t%s\t%.1f us\t%s %.1f us\t%.3fx\t%s\t%s\n", variant,
           Median(measured) / 1000, baseline, Median(plain) / 1000, ratio, goalText,
           goal <= 0       ? "-"
           : ratio <= goal ? "yes"
                           : "NO");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s COM_PORT ROUNDS PER_ROUND\n", argv[0]);
        return 2;
    }
    const char* comPort = argv[1];
    int rounds = atoi(argv[2]);
    int count = atoi(argv[3]);
    char dllPath[MAX_PATH];
    GetModuleFileNameA(nullptr, dllPath, sizeof dllPath);
    char layerPath[MAX_PATH];
    memcpy(layerPath, dllPath, sizeof layerPath);
    strcpy(strrchr(dllPath, '\\') + 1, "port\\ZkPosDll64.dll");
    strcpy(strrchr(layerPath, '\\') + 1, "port\\ZkLink64.dll");
    WSADATA data;
    zkpos_test::TestJniEnv jni;
    g_jni = &jni;
    if (rounds < 1 || count < 1 || WSAStartup(MAKEWORD(2, 2), &data) != 0 || !g_dll.Load(dllPath) ||
        !g_layer.Load(layerPath)) {
        fprintf(stderr, "%s: bad arguments, or %s does not load\n", argv[0], dllPath);
        return 2;
    }
    // Per round: the port DLL, the layer alone and the plain calls, in an
    // order that rotates so that no variant always follows the same one.
    enum { kDll, kLayer, kPlain, kVariants };
    std::vector<double> tcp[kVariants], serial[kVariants];
    std::vector<double> tcpRatios[kVariants], serialRatios[kVariants];
    for (int round = -kWarmUpRounds; round < rounds; ++round) {
        double tcpNs[kVariants], serialNs[kVariants];
        for (int step = 0; step < kVariants; ++step) {
            int variant = (round + kWarmUpRounds + step) % kVariants;
            tcpNs[variant] = variant == kDll     ? TcpThroughDll(count)
                             : variant == kLayer ? TcpThroughLayer(count)
                                                 : TcpPlain(count);
            serialNs[variant] = variant == kDll     ? SerialThroughDll(comPort, count)
                                : variant == kLayer ? SerialThroughLayer(comPort, count)
                                                    : SerialPlain(comPort, count);
        }
        for (int variant = 0; variant < kVariants; ++variant) {
            if (tcpNs[variant] <= 0 || serialNs[variant] <= 0) {
                fprintf(stderr, "%s: a transfer failed in round %d (variant %d)\n", argv[0], round,
                        variant);
                return 1;
            }
            if (round >= 0) {
                tcp[variant].push_back(tcpNs[variant]);
                serial[variant].push_back(serialNs[variant]);
                tcpRatios[variant].push_back(tcpNs[variant] / tcpNs[kPlain]);
                serialRatios[variant].push_back(serialNs[variant] / serialNs[kPlain]);
            }
        }
    }
    PrintRow("16-byte TCP round trip, ZkPosDll64 + ZkLink64", "Winsock send+recv", tcp[kDll],
             tcp[kPlain], tcpRatios[kDll], 1.10);
    PrintRow("(for comparison) ZkLink64 Write+Read called directly", "Winsock send+recv",
             tcp[kLayer], tcp[kPlain], tcpRatios[kLayer], 0);
    PrintRow("5-byte serial reply, ZkPosDll64 + ZkLink64", "WriteFile+ReadFile", serial[kDll],
             serial[kPlain], serialRatios[kDll], 1.05);
    PrintRow("(for comparison) ZkLink64 Write+Read called directly", "WriteFile+ReadFile",
             serial[kLayer], serial[kPlain], serialRatios[kLayer], 0);
    fflush(stdout);
    return 0;
}

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
#include <vector>

#include "TestJniEnv.h"
#include "ZkPosPortComm.h"

namespace {

const int kRoundTripSize = 16;
const int kReplySize = 5;
const int kWarmUpRounds = 2;

double Now() {
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e9 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

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

zkpos_test::TestJniEnv* g_jni = nullptr;
PortDll g_dll;

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

void PrintRow(const char* variant, const char* baseline, const std::vector<double>& dll,
              const std::vector<double>& plain, const std::vector<double>& ratios) {
    double ratio = Median(ratios);
    printf("ROW\t5 ZkLink64.dll, Windows (Wine)\t%s\t%.1f us\t%s %.1f us\t%.3fx\t<= 1.10x\t%s\n",
           variant, Median(dll) / 1000, baseline, Median(plain) / 1000, ratio,
           ratio <= 1.10 ? "yes" : "NO");
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
    strcpy(strrchr(dllPath, '\\') + 1, "port\\ZkPosDll64.dll");
    WSADATA data;
    zkpos_test::TestJniEnv jni;
    g_jni = &jni;
    if (rounds < 1 || count < 1 || WSAStartup(MAKEWORD(2, 2), &data) != 0 || !g_dll.Load(dllPath)) {
        fprintf(stderr, "%s: bad arguments, or %s does not load\n", argv[0], dllPath);
        return 2;
    }
    std::vector<double> tcpDll, tcpPlain, tcpRatios, serialDll, serialPlain, serialRatios;
    for (int round = -kWarmUpRounds; round < rounds; ++round) {
        // Which variant goes first alternates, so neither always meets a cold peer.
        bool dllFirst = round % 2 == 0;
        double a = dllFirst ? TcpThroughDll(count) : TcpPlain(count);
        double b = dllFirst ? TcpPlain(count) : TcpThroughDll(count);
        double c = dllFirst ? SerialThroughDll(comPort, count) : SerialPlain(comPort, count);
        double d = dllFirst ? SerialPlain(comPort, count) : SerialThroughDll(comPort, count);
        if (a <= 0 || b <= 0 || c <= 0 || d <= 0) {
            fprintf(stderr, "%s: a transfer failed in round %d (%g %g %g %g)\n", argv[0], round, a,
                    b, c, d);
            return 1;
        }
        if (round < 0) {
            continue;
        }
        tcpDll.push_back(dllFirst ? a : b);
        tcpPlain.push_back(dllFirst ? b : a);
        serialDll.push_back(dllFirst ? c : d);
        serialPlain.push_back(dllFirst ? d : c);
        tcpRatios.push_back(tcpDll.back() / tcpPlain.back());
        serialRatios.push_back(serialDll.back() / serialPlain.back());
    }
    PrintRow("16-byte TCP round trip, ZkPosDll64 + ZkLink64", "Winsock send+recv", tcpDll,
             tcpPlain, tcpRatios);
    PrintRow("5-byte serial reply, ZkPosDll64 + ZkLink64", "WriteFile+ReadFile", serialDll,
             serialPlain, serialRatios);
    fflush(stdout);
    return 0;
}

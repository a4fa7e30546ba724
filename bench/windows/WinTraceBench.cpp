// SPDX-License-Identifier: Apache-2.0
// What a Windows trace line costs under Wine, as ratios only (Wine's own cost
// per call makes absolute figures say nothing of Windows): a PrintTrace call
// the level rejects, and a written line against the plain open + write + close
// of the same bytes. Prints its rows for the benchmark's table:
//   ROW <tab> measurement <tab> variant <tab> median <tab> baseline <tab> ratio <tab> goal <tab>
//   met
// Usage: zkpos_bench_wintrace.exe ROUNDS LINES_PER_ROUND
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "BenchClock.h"

#include "ZkPosDll.h"

namespace {

const char kMessage[] = "Java_com_zelkor_jpos_services_WinPortComm_readData: Read Error";
// A rejected call is a comparison and a cleared buffer: it needs many more
// calls per round than a written line to rise above the timer's resolution.
const int kRejectedPerLine = 1000;

bool FileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// The bytes WriteLogLine writes for the same message: time stamp, text, CR LF.
std::vector<char> SameLine() {
    time_t now = time(nullptr);
    const struct tm* local = localtime(&now);
    char line[256];
    int length = snprintf(line, sizeof line, "[%04d/%02d/%02d %02d:%02d:%02d]%s\r\n",
                          local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour,
                          local->tm_min, local->tm_sec, kMessage);
    return std::vector<char>(line, line + length);
}

double PlainLines(int count, const std::vector<char>& line) {
    double start = Now();
    for (int i = 0; i < count; ++i) {
        HANDLE file = CreateFileA(m_strLogFileName, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        if (file == INVALID_HANDLE_VALUE ||
            !WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
            return -1;
        }
        CloseHandle(file);
    }
    return (Now() - start) / count;
}

double TracedLines(int count) {
    double start = Now();
    for (int i = 0; i < count; ++i) {
        PrintTrace(3, "%s", kMessage);
    }
    return (Now() - start) / count;
}

double RejectedCalls(int count) {
    double start = Now();
    for (int i = 0; i < count; ++i) {
        PrintTrace(5, "%s", kMessage);
    }
    return (Now() - start) / count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ROUNDS LINES_PER_ROUND\n", argv[0]);
        return 2;
    }
    int rounds = atoi(argv[1]);
    int count = atoi(argv[2]);
    if (rounds < 1 || count < 1) {
        fprintf(stderr, "%s: ROUNDS and LINES_PER_ROUND must be positive\n", argv[0]);
        return 2;
    }
    // The prefix's temporary folder, not the log folder of a real installation.
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) {
        fprintf(stderr, "%s: no temporary folder\n", argv[0]);
        return 1;
    }
    snprintf(m_strLogFileName, sizeof m_strLogFileName, "%szkpos-bench-ZkPosDll.log", folder);
    m_iTraceLevel = 3;

    std::vector<char> line = SameLine();
    std::vector<double> tracedRatios, rejectedRatios;
    bool fileTouched = false;
    for (int round = 0; round < rounds; ++round) {
        double plainNs = 0, tracedNs = 0, rejectedNs = 0;
        for (int step = 0; step < 3; ++step) {
            switch ((round + step) % 3) {
                case 0:
                    plainNs = PlainLines(count, line);
                    break;
                case 1:
                    // PrintTrace reports nothing: a line that was lost shows only here.
                    DeleteFileA(m_strLogFileName);
                    tracedNs = TracedLines(count);
                    tracedNs = FileExists(m_strLogFileName) ? tracedNs : -1;
                    break;
                default:
                    DeleteFileA(m_strLogFileName);
                    rejectedNs = RejectedCalls(count * kRejectedPerLine);
                    fileTouched = fileTouched || FileExists(m_strLogFileName);
                    break;
            }
        }
        if (plainNs <= 0 || tracedNs <= 0) {
            fprintf(stderr, "%s: writing %s failed in round %d\n", argv[0], m_strLogFileName,
                    round);
            return 1;
        }
        tracedRatios.push_back(tracedNs / plainNs);
        rejectedRatios.push_back(rejectedNs / plainNs);
        DeleteFileA(m_strLogFileName);
    }

    double tracedRatio = Median(tracedRatios);
    printf(
        "ROW\t4 trace, Windows (Wine)\tPrintTrace rejected by level\tratio only%s"
        "\tCreateFile+WriteFile+CloseHandle\t%.4fx\tno file access\t%s\n",
        fileTouched ? " (file touched)" : ", no file access", Median(rejectedRatios),
        fileTouched ? "NO" : "yes");
    printf(
        "ROW\t4 trace, Windows (Wine)\tPrintTrace line written\tratio only"
        "\tCreateFile+WriteFile+CloseHandle\t%.2fx\t<= 1.3x\t%s\n",
        tracedRatio, tracedRatio <= 1.3 ? "yes" : "NO");
    fflush(stdout);
    return 0;
}

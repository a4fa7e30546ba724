// SPDX-License-Identifier: Apache-2.0
// What a trace line costs: a PrintLog call that the level filter rejects, and
// a written line against the plain open + write + close of the same bytes.
// Prints its rows for the benchmark's table, one per line:
//   ROW <tab> measurement <tab> variant <tab> median <tab> baseline <tab> ratio <tab> goal <tab>
//   met
// Usage: zkpos-bench-trace ROUNDS LINES_PER_ROUND
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/time.h>
#include <ctime>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "ZkPosSo.h"

namespace {

const char kLogFileName[] = "/var/log/ZkPosSoLog.txt";
// A rejected call is a few comparisons: it needs many more calls per round
// than a written line to rise above the clock's resolution.
const int kRejectedPerLine = 1000;

double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool FileExists(const char* path) {
    struct stat status;
    return stat(path, &status) == 0;
}

// The line PrintLog writes for the same call, date prefix included.
std::vector<char> SameLine() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char line[256];
    int length = snprintf(line, sizeof line,
                          "[%d-%02d-%02d %02d:%02d:%02d.%03ld] ZkPosSo::readData --> iResult 16\n",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, static_cast<long>(now.tv_usec / 1000));
    return std::vector<char>(line, line + length);
}

double PlainLines(int count, const std::vector<char>& line) {
    double start = Now();
    for (int i = 0; i < count; ++i) {
        int fd = open(kLogFileName, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return -1;
        }
        close(fd);
    }
    return (Now() - start) / count;
}

// The library's text mode goes through stdio; these two show what stdio itself
// costs, buffered as it comes and unbuffered.
double StdioLines(int count, const std::vector<char>& line, bool unbuffered) {
    double start = Now();
    for (int i = 0; i < count; ++i) {
        FILE* file = fopen(kLogFileName, "a");
        if (file == nullptr) {
            return -1;
        }
        if (unbuffered) {
            setvbuf(file, nullptr, _IONBF, 0);
        }
        if (fwrite(line.data(), line.size(), 1, file) != 1) {
            fclose(file);
            return -1;
        }
        fclose(file);
    }
    return (Now() - start) / count;
}

double TracedLines(int count) {
    double start = Now();
    for (int i = 0; i < count; ++i) {
        if (PrintLog("ZkPosSo", "readData", "iResult 16", 3) != LOG_OK) {
            return -1;
        }
    }
    return (Now() - start) / count;
}

double RejectedCalls(int count) {
    double start = Now();
    for (int i = 0; i < count; ++i) {
        if (PrintLog("ZkPosSo", "readData", "Begin", 5) != LOG_NOT_WRITTEN) {
            return -1;
        }
    }
    return (Now() - start) / count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ROUNDS LINES_PER_ROUND\n", argv[0]);
        return 2;
    }
    // The trace file is the library's own path: only a private /var/log may
    // take these lines.
    const char* privateRun = getenv("ZKPOS_PRIVATE_RUN");
    if (privateRun == nullptr || strcmp(privateRun, "1") != 0) {
        fprintf(stderr, "%s: run me under tests/support/private-run.sh\n", argv[0]);
        return 2;
    }
    int rounds = atoi(argv[1]);
    int count = atoi(argv[2]);
    if (rounds < 1 || count < 1) {
        fprintf(stderr, "%s: ROUNDS and LINES_PER_ROUND must be positive\n", argv[0]);
        return 2;
    }

    m_bDebug = true;
    if (InitLog(kLogFileName, 3, 1) != LOG_OK) {
        fprintf(stderr, "%s: InitLog failed on %s\n", argv[0], kLogFileName);
        return 1;
    }
    std::vector<char> line = SameLine();
    std::vector<double> plain, traced, rejected, tracedRatios, rejectedRatios, stdioRatios,
        unbufferedRatios;
    bool fileTouched = false;
    const int kVariants = 5;
    for (int round = 0; round < rounds; ++round) {
        double plainNs = 0, tracedNs = 0, rejectedNs = 0, stdioNs = 0, unbufferedNs = 0;
        for (int step = 0; step < kVariants; ++step) {
            switch ((round + step) % kVariants) {
                case 0:
                    plainNs = PlainLines(count, line);
                    break;
                case 1:
                    tracedNs = TracedLines(count);
                    break;
                case 2:
                    stdioNs = StdioLines(count, line, false);
                    break;
                case 3:
                    unbufferedNs = StdioLines(count, line, true);
                    break;
                default:
                    // Without the file, any open in text mode would create it.
                    unlink(kLogFileName);
                    rejectedNs = RejectedCalls(count * kRejectedPerLine);
                    fileTouched = fileTouched || FileExists(kLogFileName);
                    break;
            }
        }
        if (plainNs <= 0 || tracedNs <= 0 || rejectedNs <= 0 || stdioNs <= 0 || unbufferedNs <= 0) {
            fprintf(stderr, "%s: a trace call failed in round %d\n", argv[0], round);
            return 1;
        }
        plain.push_back(plainNs);
        traced.push_back(tracedNs);
        rejected.push_back(rejectedNs);
        tracedRatios.push_back(tracedNs / plainNs);
        rejectedRatios.push_back(rejectedNs / plainNs);
        stdioRatios.push_back(stdioNs / plainNs);
        unbufferedRatios.push_back(unbufferedNs / plainNs);
        truncate(kLogFileName, 0);
    }
    unlink(kLogFileName);

    double plainMedian = Median(plain);
    double tracedRatio = Median(tracedRatios);
    double rejectedMedian = Median(rejected);
    printf(
        "ROW\t4 trace, Linux\tPrintLog rejected by level\t%.1f ns%s\topen+write+close %.0f ns"
        "\t%.4fx\ttens of ns, no file access\t%s\n",
        rejectedMedian, fileTouched ? " (file touched)" : ", no file access", plainMedian,
        Median(rejectedRatios), !fileTouched && rejectedMedian < 100 ? "yes" : "NO");
    printf(
        "ROW\t4 trace, Linux\tPrintLog line written\t%.0f ns\topen+write+close %.0f ns"
        "\t%.2fx\t<= 1.3x\t%s\n",
        Median(traced), plainMedian, tracedRatio, tracedRatio <= 1.3 ? "yes" : "NO");
    printf(
        "ROW\t4 trace, Linux\t(for comparison) plain C fopen+fwrite+fclose\t-"
        "\topen+write+close %.0f ns\t%.2fx\t-\t-\n",
        plainMedian, Median(stdioRatios));
    printf(
        "ROW\t4 trace, Linux\t(for comparison) same, setvbuf unbuffered\t-"
        "\topen+write+close %.0f ns\t%.2fx\t-\t-\n",
        plainMedian, Median(unbufferedRatios));
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// The simulator's command set, seen from a client over TCP and over its
// pseudo-terminal. Runs in a private network namespace, so the default port
// 9100 is free.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <csignal>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kStx = "\x02";
const std::string kEtx = "\x03";
const std::string kEnq = "\x05";
const std::string kAck = "\x06";
const std::string kNak = "\x15";

// Reads what arrives on fd until `want` bytes are there or `limit` has passed.
std::string ReadFor(int fd, std::size_t want, milliseconds limit) {
    std::string got;
    const Clock::time_point deadline = Clock::now() + limit;
    while (got.size() < want) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd watched{fd, POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// True when the peer closed the line within `limit` (end of file or error).
bool ClosedWithin(int fd, milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        pollfd watched{fd, POLLIN, 0};
        if (poll(&watched, 1, 50) > 0) {
            char byte;
            if (read(fd, &byte, 1) <= 0) {
                return true;
            }
        }
    }
    return false;
}

void WriteAll(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The simulator as a child process, stopped and reaped by the destructor.
// Unless a case sets its own --seconds, the simulator stops by itself after a
// minute, so that a test killed before its destructor leaves nothing running.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> arguments) {
        bool limited = false;
        for (const std::string& argument : arguments) {
            limited = limited || argument == "--seconds" || argument == "--version";
        }
        if (!limited) {
            arguments.insert(arguments.end(), {"--seconds", "60"});
        }
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv{const_cast<char*>(ZKPOS_SIMULATOR_PATH)};
            for (std::string& argument : arguments) {
                argv.push_back(argument.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        stdout_ = out[0];
    }

    ~Simulator() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(stdout_);
    }

    // The value of the first stdout line that starts with `key` ("tcp", "pty").
    std::string Announced(const std::string& key) {
        while (true) {
            for (std::size_t start = 0, end;
                 (end = announced_.find('\n', start)) != std::string::npos; start = end + 1) {
                const std::string line = announced_.substr(start, end - start);
                if (line.compare(0, key.size() + 1, key + " ") == 0) {
                    return line.substr(key.size() + 1);
                }
            }
            const std::string more = ReadFor(stdout_, 1, milliseconds(5000));
            if (more.empty()) {
                return std::string();
            }
            announced_ += more;
        }
    }

    // Waits at most `limit` for the process to end; its exit status, or -1.
    int ExitStatus(milliseconds limit) {
        const Clock::time_point deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        return -1;
    }

    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    bool reaped_ = false;
    std::string announced_;
};

// A TCP client of the simulator at "address:port", closed by the destructor.
class Client {
public:
    explicit Client(const std::string& announced) {
        const std::size_t colon = announced.rfind(':');
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(announced.substr(colon + 1))));
        inet_pton(AF_INET, announced.substr(0, colon).c_str(), &address.sin_addr);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { close(fd_); }
    int Fd() const { return fd_; }
    bool Connected() const { return connected_; }

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string Frame(const std::string& payload) {
    return kStx + payload + kEtx;
}

TEST(SimulatorTest, ListensOnTheLibrarysFixedPortByDefault) {
    Simulator simulator({"--quiet", "--no-pty"});
    EXPECT_EQ(simulator.Announced("tcp"), "127.0.0.1:9100");
    Client client("127.0.0.1:9100");
    ASSERT_TRUE(client.Connected());
}

TEST(SimulatorTest, EchoesEachFramePrecededByAckOverTcp) {
    Simulator simulator({"--quiet", "--no-pty"});
    Client client(simulator.Announced("tcp"));
    ASSERT_TRUE(client.Connected());
    WriteAll(client.Fd(), Frame("Hello") + Frame("second"));
    const std::string expected = kAck + Frame("Hello") + kAck + Frame("second");
    EXPECT_EQ(ReadFor(client.Fd(), expected.size(), milliseconds(3000)), expected);
}

TEST(SimulatorTest, EchoesAFrameThatArrivesInPieces) {
    Simulator simulator({"--quiet", "--no-pty"});
    Client client(simulator.Announced("tcp"));
    WriteAll(client.Fd(), "noise" + kStx + "Hel");
    EXPECT_EQ(ReadFor(client.Fd(), 1, milliseconds(300)), "");
    WriteAll(client.Fd(), "lo" + kEtx);
    const std::string expected = kAck + Frame("Hello");
    EXPECT_EQ(ReadFor(client.Fd(), expected.size(), milliseconds(3000)), expected);
}

TEST(SimulatorTest, AnswersEnqWithTheStatusByte) {
    Simulator simulator({"--quiet", "--no-pty"});
    Client client(simulator.Announced("tcp"));
    WriteAll(client.Fd(), kEnq);
    EXPECT_EQ(ReadFor(client.Fd(), 1, milliseconds(3000)), "\x40");
}

TEST(SimulatorTest, TakesTheStatusByteFromItsOption) {
    Simulator simulator({"--quiet", "--no-pty", "--status", "0x81"});
    Client client(simulator.Announced("tcp"));
    WriteAll(client.Fd(), kEnq + kEnq);
    EXPECT_EQ(ReadFor(client.Fd(), 2, milliseconds(3000)), "\x81\x81");
}

TEST(SimulatorTest, AnswersAnOverlongFrameWithNak) {
    Simulator simulator({"--quiet", "--no-pty"});
    Client client(simulator.Announced("tcp"));
    WriteAll(client.Fd(), Frame(std::string(9000, 'x')) + Frame("ok"));
    const std::string expected = kNak + kAck + Frame("ok");
    EXPECT_EQ(ReadFor(client.Fd(), expected.size(), milliseconds(3000)), expected);
}

TEST(SimulatorTest, ServesTwoConnectionsAtOnce) {
    Simulator simulator({"--quiet", "--no-pty"});
    const std::string address = simulator.Announced("tcp");
    Client first(address);
    Client second(address);
    WriteAll(second.Fd(), Frame("two"));
    WriteAll(first.Fd(), Frame("one"));
    EXPECT_EQ(ReadFor(first.Fd(), 6, milliseconds(3000)), kAck + Frame("one"));
    EXPECT_EQ(ReadFor(second.Fd(), 6, milliseconds(3000)), kAck + Frame("two"));
}

TEST(SimulatorTest, EchoesAllByteValuesUnchangedOverThePseudoTerminal) {
    Simulator simulator({"--quiet", "--no-tcp"});
    const std::string path = simulator.Announced("pty");
    ASSERT_EQ(path.compare(0, 9, "/dev/pts/"), 0) << path;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    // Raw mode on the simulator's side: CR, LF, DEL and high bytes pass as they are.
    const std::string payload = std::string("\r\n\x7f\x80\xff\x04\x1a", 7) + "text";
    WriteAll(fd, Frame(payload) + kEnq);
    const std::string expected = kAck + Frame(payload) + "\x40";
    EXPECT_EQ(ReadFor(fd, expected.size(), milliseconds(3000)), expected);
    close(fd);
}

TEST(SimulatorTest, KeepsThePseudoTerminalForTheNextClient) {
    Simulator simulator({"--quiet", "--no-tcp"});
    const std::string path = simulator.Announced("pty");
    for (const char* payload : {"first", "again"}) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        WriteAll(fd, Frame(payload));
        EXPECT_EQ(ReadFor(fd, 8, milliseconds(3000)), kAck + Frame(payload));
        close(fd);
    }
}

TEST(SimulatorTest, AnswersSlowlyWithDelay) {
    Simulator simulator({"--quiet", "--no-pty", "--delay", "800"});
    Client client(simulator.Announced("tcp"));
    const Clock::time_point sent = Clock::now();
    WriteAll(client.Fd(), Frame("slow"));
    EXPECT_EQ(ReadFor(client.Fd(), 1, milliseconds(400)), "");
    EXPECT_EQ(ReadFor(client.Fd(), 7, milliseconds(3000)), kAck + Frame("slow"));
    EXPECT_GE(Clock::now() - sent, milliseconds(800));
}

TEST(SimulatorTest, SendsALargeBlockForEveryFrame) {
    Simulator simulator({"--quiet", "--no-pty", "--large", "1500"});
    Client client(simulator.Announced("tcp"));
    WriteAll(client.Fd(), Frame("give me a lot"));
    const std::string got = ReadFor(client.Fd(), 1503, milliseconds(3000));
    ASSERT_EQ(got.size(), 1503u);
    EXPECT_EQ(got.substr(0, 2), kAck + kStx);
    EXPECT_EQ(got.substr(2, 27), "ABCDEFGHIJKLMNOPQRSTUVWXYZA");
    EXPECT_EQ(got[2 + 1499], 'A' + 1499 % 26);
    EXPECT_EQ(got.substr(1502), kEtx);
}

TEST(SimulatorTest, StaysSilentButKeepsTheConnection) {
    Simulator simulator({"--quiet", "--no-pty", "--silent"});
    Client client(simulator.Announced("tcp"));
    WriteAll(client.Fd(), Frame("anyone?") + kEnq);
    EXPECT_EQ(ReadFor(client.Fd(), 1, milliseconds(600)), "");
    EXPECT_FALSE(ClosedWithin(client.Fd(), milliseconds(200)));
}

TEST(SimulatorTest, ClosesTheConnectionAfterTheGivenNumberOfFrames) {
    Simulator simulator({"--quiet", "--no-pty", "--close-after", "1"});
    Client client(simulator.Announced("tcp"));
    WriteAll(client.Fd(), Frame("last"));
    EXPECT_EQ(ReadFor(client.Fd(), 7, milliseconds(3000)), kAck + Frame("last"));
    EXPECT_TRUE(ClosedWithin(client.Fd(), milliseconds(3000)));
}

TEST(SimulatorTest, ClosesAtOnceWithCloseAfterZero) {
    Simulator simulator({"--quiet", "--no-pty", "--close-after", "0"});
    Client client(simulator.Announced("tcp"));
    ASSERT_TRUE(client.Connected());
    EXPECT_TRUE(ClosedWithin(client.Fd(), milliseconds(3000)));
}

TEST(SimulatorTest, HangsUpThePseudoTerminalAfterTheGivenNumberOfFrames) {
    Simulator simulator({"--quiet", "--no-tcp", "--close-after", "1"});
    const int fd = open(simulator.Announced("pty").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    WriteAll(fd, Frame("bye"));
    EXPECT_EQ(ReadFor(fd, 6, milliseconds(3000)), kAck + Frame("bye"));
    EXPECT_TRUE(ClosedWithin(fd, milliseconds(3000)));
    close(fd);
}

TEST(SimulatorTest, StopsByItselfAfterTheGivenSeconds) {
    Simulator simulator({"--quiet", "--seconds", "1"});
    ASSERT_FALSE(simulator.Announced("tcp").empty());
    EXPECT_EQ(simulator.ExitStatus(milliseconds(4000)), 0);
}

TEST(SimulatorTest, StopsOnSigtermAndSigint) {
    for (int stopSignal : {SIGTERM, SIGINT}) {
        Simulator simulator({"--quiet"});
        ASSERT_FALSE(simulator.Announced("tcp").empty());
        kill(simulator.Pid(), stopSignal);
        EXPECT_EQ(simulator.ExitStatus(milliseconds(3000)), 0) << strsignal(stopSignal);
    }
}

TEST(SimulatorTest, NamesItsVersionOnTheFirstLine) {
    Simulator simulator({"--version"});
    EXPECT_EQ(simulator.Announced("zkpos-simulator"), ZKPOS_VERSION);
    EXPECT_EQ(simulator.ExitStatus(milliseconds(3000)), 0);
}

TEST(SimulatorTest, RefusesUnknownOptionsAndBadNumbers) {
    for (std::vector<std::string> arguments : {std::vector<std::string>{"--bogus"},
                                               {"--seconds", "0"},
                                               {"--port", "x"},
                                               {"--no-tcp", "--no-pty"},
                                               {"--address", "localhost"}}) {
        Simulator simulator(arguments);
        EXPECT_EQ(simulator.ExitStatus(milliseconds(3000)), 2) << arguments[0];
    }
}

// What the simulator costs: CPU time (user and system, in clock ticks) and
// resident memory (KiB), from /proc.
long CpuTicks(pid_t pid) {
    char buffer[1024] = {0};
    const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd >= 0 ? read(fd, buffer, sizeof buffer - 1) : -1;
    close(fd);
    const char* end = got > 0 ? std::strrchr(buffer, ')') : nullptr;
    long utime = -1;
    long stime = -1;
    // After the name: state, then fields 4 to 13, then utime and stime.
    if (end == nullptr ||
        std::sscanf(end + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime,
                    &stime) != 2) {
        return -1;
    }
    return utime + stime;
}

long ResidentKib(pid_t pid) {
    char buffer[4096] = {0};
    const int fd = open(("/proc/" + std::to_string(pid) + "/status").c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd >= 0 ? read(fd, buffer, sizeof buffer - 1) : -1;
    close(fd);
    const char* line = got > 0 ? std::strstr(buffer, "VmRSS:") : nullptr;
    return line != nullptr ? std::atol(line + 6) : -1;
}

TEST(SimulatorTest, ClientThatNeverReadsCostsABoundedQueue) {
    Simulator simulator({"--quiet", "--no-pty"});
    Client client(simulator.Announced("tcp"));
    ASSERT_TRUE(client.Connected());
    // Every ENQ asks for a status byte; the client never takes one.
    const std::string enquiries(64 * 1024, kEnq[0]);
    const Clock::time_point until = Clock::now() + milliseconds(3000);
    while (Clock::now() < until) {
        if (send(client.Fd(), enquiries.data(), enquiries.size(), MSG_DONTWAIT | MSG_NOSIGNAL) <
            0) {
            ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
            pollfd room{client.Fd(), POLLOUT, 0};
            poll(&room, 1, 50);
        }
    }
    const long resident = ResidentKib(simulator.Pid());
    ASSERT_GT(resident, 0);
    EXPECT_LT(resident, 64 * 1024) << "KiB resident";
}

TEST(SimulatorTest, WaitsQuietlyWhenOutOfDescriptors) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit few = saved;
    few.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    Simulator simulator({"--quiet", "--no-pty"});
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    const std::string announced = simulator.Announced("tcp");
    ASSERT_FALSE(announced.empty());
    Client first(announced);
    ASSERT_TRUE(first.Connected());

    // More clients than the simulator has descriptors for, each given a moment
    // to be taken; those the full accept queue holds back wait there.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port =
        htons(static_cast<uint16_t>(std::stoi(announced.substr(announced.rfind(':') + 1))));
    inet_pton(AF_INET, announced.substr(0, announced.rfind(':')).c_str(), &address.sin_addr);
    std::vector<int> clients;
    for (int client = 0; client < 100; ++client) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        clients.push_back(fd);
        pollfd connected{fd, POLLOUT, 0};
        poll(&connected, 1, 20);
    }
    std::this_thread::sleep_for(milliseconds(500));
    const long before = CpuTicks(simulator.Pid());
    std::this_thread::sleep_for(milliseconds(3000));
    const long used = CpuTicks(simulator.Pid()) - before;
    ASSERT_GE(before, 0);
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) * 3 / 10) << "ticks in 3 s";

    WriteAll(first.Fd(), kEnq);
    EXPECT_EQ(ReadFor(first.Fd(), 1, milliseconds(3000)).size(), 1u) << "still serving";
    for (const int fd : clients) {
        close(fd);
    }
}

}  // namespace

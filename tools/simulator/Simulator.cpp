// SPDX-License-Identifier: Apache-2.0
// zkpos-simulator: a printer-like device on TCP and on a pseudo-terminal, for
// demos and tests of the port libraries. The usage text in SimulatorOptions.cpp
// describes the command set and the switches.
#include "DeviceProtocol.h"
#include "SimulatorOptions.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <string>
#include <vector>

namespace {

using zkpos::Fail;
using zkpos::Options;
using Clock = std::chrono::steady_clock;

struct Answer {
    Clock::time_point due;
    std::string bytes;
};

// One client line: a TCP connection or the master side of the terminal.
struct Line {
    int fd = -1;
    bool isPty = false;
    std::string name;
    zkpos::DeviceProtocol protocol;
    std::deque<Answer> pending;      // answers still held back by --delay
    std::size_t pendingBytes = 0;    // their size
    std::string out;                 // answers due, not yet taken by the kernel
    Clock::time_point drainUntil{};  // a hung-up terminal waits for its reader until then

    Line(int fd_, bool isPty_, std::string name_, const zkpos::Behaviour& behaviour)
        : fd(fd_), isPty(isPty_), name(std::move(name_)), protocol(behaviour) {}
};

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal) {
    g_stopSignal = signal;
}

bool g_quiet = false;

void Event(const char* format, const std::string& name, long value = 0) {
    if (g_quiet) {
        return;
    }
    std::fprintf(stderr, "simulator: ");
    if (!name.empty()) {
        std::fprintf(stderr, "%s: ", name.c_str());
    }
    std::fprintf(stderr, format, value);
    std::fputc('\n', stderr);
}

int OpenListener(const Options& options, std::string* shownAddress) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    if (inet_pton(AF_INET, options.address.c_str(), &address.sin_addr) != 1) {
        Fail("--address: '" + options.address + "' is not a dotted IPv4 address");
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Fail(std::string("socket: ") + std::strerror(errno));
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail("cannot listen on " + options.address + ":" + std::to_string(options.port) + ": " +
             std::strerror(errno));
    }
    if (listen(fd, 8) != 0) {
        Fail(std::string("listen: ") + std::strerror(errno));
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *shownAddress = options.address + ":" + std::to_string(ntohs(address.sin_port));
    return fd;
}

// Opens the terminal pair and returns the master. The simulator keeps a slave
// descriptor of its own for its whole life: without one, the master reports a
// hang-up until the client opens the slave, and again whenever it closes it.
int OpenTerminal(std::string* slavePath, int* heldSlave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        Fail(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        Fail(std::string("ptsname: ") + std::strerror(errno));
    }
    *slavePath = name;
    *heldSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*heldSlave < 0) {
        Fail(*slavePath + ": " + std::strerror(errno));
    }
    // Raw both ways: no echo, no line editing, no CR/NL translation, all 8 bits.
    termios settings{};
    tcgetattr(*heldSlave, &settings);
    cfmakeraw(&settings);
    tcsetattr(*heldSlave, TCSANOW, &settings);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return master;
}

// Sends what is due; false when the line broke.
bool Flush(Line& line) {
    while (!line.out.empty()) {
        const ssize_t sent = line.isPty
                                 ? write(line.fd, line.out.data(), line.out.size())
                                 : send(line.fd, line.out.data(), line.out.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        line.out.erase(0, static_cast<std::size_t>(sent));
    }
    return true;
}

void MoveDueAnswers(Line& line, Clock::time_point now) {
    while (!line.pending.empty() && line.pending.front().due <= now) {
        line.out += line.pending.front().bytes;
        line.pendingBytes -= line.pending.front().bytes.size();
        line.pending.pop_front();
    }
}

// Reads what the client sent and queues the answer; false when the client left.
bool Receive(Line& line, const zkpos::Behaviour& behaviour) {
    unsigned char buffer[4096];
    const ssize_t got =
        line.isPty ? read(line.fd, buffer, sizeof buffer) : recv(line.fd, buffer, sizeof buffer, 0);
    if (got < 0) {
        return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    }
    if (got == 0) {
        Event("client closed the connection", line.name);
        return false;
    }
    Event(got == 1 ? "received %ld byte" : "received %ld bytes", line.name, got);
    const long framesBefore = line.protocol.FramesAnswered();
    const std::string answer = line.protocol.Feed(buffer, static_cast<std::size_t>(got));
    if (line.protocol.FramesAnswered() != framesBefore) {
        Event("frames answered so far: %ld", line.name, line.protocol.FramesAnswered());
    }
    if (!answer.empty()) {
        line.pending.push_back(
            {Clock::now() + std::chrono::milliseconds(behaviour.delayMs), answer});
        line.pendingBytes += answer.size();
    }
    return true;
}

// A client that sends and never reads would otherwise make the simulator hold
// every answer it owes: past this much, the line is not read from until its
// client has taken some of it.
constexpr std::size_t kMaxQueuedAnswers = 1 << 20;

bool TakesInput(const Line& line) {
    return line.out.size() + line.pendingBytes < kMaxQueuedAnswers;
}

// Out of descriptors, a waiting connection cannot be taken, and the listener
// stays readable: it is left unwatched for a while instead of being tried in
// a busy loop.
constexpr std::chrono::milliseconds kAcceptPause(100);

bool OutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// A terminal loses what its reader has not taken yet when the master closes,
// so the hang-up waits (a bounded time) until the last answer has been read.
// The kernel moves written bytes to the reader's side a little later, so an
// empty queue only counts after a short settling time.
constexpr std::chrono::milliseconds kTerminalDrainTime(2000);
constexpr std::chrono::milliseconds kTerminalSettleTime(200);
constexpr std::chrono::milliseconds kTerminalDrainPoll(20);

bool ReadyToHangUp(Line& line, int heldSlave, Clock::time_point now) {
    if (!line.protocol.WantsHangUp() || !line.pending.empty() || !line.out.empty()) {
        return false;
    }
    if (!line.isPty || heldSlave < 0) {
        return true;
    }
    if (line.drainUntil == Clock::time_point{}) {
        line.drainUntil = now + kTerminalDrainTime;
    }
    int unread = 0;
    if (now >= line.drainUntil) {
        return true;
    }
    const bool settled = now >= line.drainUntil - kTerminalDrainTime + kTerminalSettleTime;
    return settled && (ioctl(heldSlave, FIONREAD, &unread) != 0 || unread == 0);
}

// The stop signals stay blocked except inside ppoll, so none is lost between
// the check of g_stopSignal and the wait. Returns the mask ppoll waits with.
sigset_t CatchStopSignals() {
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    return waitMask;
}

// Waits for the watched descriptors until wake; false when a signal came.
bool WaitUntil(std::vector<pollfd>& watched, Clock::time_point now, Clock::time_point wake,
               const sigset_t& waitMask) {
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
    timespec timeout{};
    if (wait.count() > 0) {
        timeout.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
        timeout.tv_nsec = static_cast<long>(wait.count() % 1000000000);
    }
    if (ppoll(watched.data(), watched.size(), &timeout, &waitMask) < 0) {
        if (errno == EINTR) {
            return false;
        }
        Fail(std::string("ppoll: ") + std::strerror(errno));
    }
    return true;
}

// Everything the simulator serves: the terminal, the listener and its clients.
class Simulator {
public:
    explicit Simulator(const Options& options)
        : options_(options),
          limited_(options.seconds > 0),
          deadline_(Clock::now() + std::chrono::seconds(options.seconds)) {
        if (options.pty) {
            std::string slavePath;
            const int master = OpenTerminal(&slavePath, &heldSlave_);
            lines_.emplace_back(master, true, "pty " + slavePath, options.behaviour);
            std::printf("pty %s\n", slavePath.c_str());
        }
        if (options.tcp) {
            std::string shownAddress;
            listener_ = OpenListener(options, &shownAddress);
            std::printf("tcp %s\n", shownAddress.c_str());
        }
        std::fflush(stdout);
    }

    ~Simulator() {
        for (Line& line : lines_) {
            close(line.fd);
        }
        if (heldSlave_ >= 0) {
            close(heldSlave_);
        }
        if (listener_ >= 0) {
            close(listener_);
        }
    }

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool TimeIsUp(Clock::time_point now) const {
        if (limited_ && now >= deadline_) {
            Event("stopping after %ld seconds", "", options_.seconds);
            return true;
        }
        return false;
    }

    // Sends the answers that are due, and hangs up the lines that are done.
    void SendDueAnswers(Clock::time_point now) {
        for (auto line = lines_.begin(); line != lines_.end();) {
            MoveDueAnswers(*line, now);
            const bool intact = Flush(*line);
            if (!intact || ReadyToHangUp(*line, heldSlave_, now)) {
                Event(intact ? "hanging up" : "line broken, closing", line->name);
                close(line->fd);
                line = lines_.erase(line);
            } else {
                ++line;
            }
        }
        if (options_.pty && heldSlave_ >= 0 && (lines_.empty() || !lines_.front().isPty)) {
            // The terminal was hung up: the client's next read sees the end of the line.
            close(heldSlave_);
            heldSlave_ = -1;
        }
    }

    // Fills watched with the listener first, then every line; returns the
    // next wake-up: the deadline, an answer falling due, a pause or a drain
    // check ending.
    Clock::time_point Watch(Clock::time_point now, std::vector<pollfd>* watched) const {
        // Unlimited, the wait still ends now and then; the signal ends it anyway.
        Clock::time_point wake = limited_ ? deadline_ : now + std::chrono::hours(1);
        if (listener_ >= 0) {
            // A negative descriptor is not watched; the pause ends the wait.
            const bool paused = now < acceptAgain_;
            watched->push_back({paused ? -1 : listener_, POLLIN, 0});
            if (paused && acceptAgain_ < wake) {
                wake = acceptAgain_;
            }
        }
        for (const Line& line : lines_) {
            const short events = static_cast<short>((TakesInput(line) ? POLLIN : 0) |
                                                    (line.out.empty() ? 0 : POLLOUT));
            watched->push_back({line.fd, events, 0});
            if (!line.pending.empty() && line.pending.front().due < wake) {
                wake = line.pending.front().due;
            }
            if (line.drainUntil != Clock::time_point{} && now + kTerminalDrainPoll < wake) {
                wake = now + kTerminalDrainPoll;
            }
        }
        return wake;
    }

    // Takes a waiting client, and reads what the lines sent, as Watch listed them.
    void Serve(const std::vector<pollfd>& watched) {
        std::size_t index = 0;
        if (listener_ >= 0) {
            if (watched[index].revents & POLLIN) {
                AcceptClient();
            }
            ++index;
        }
        for (auto line = lines_.begin(); line != lines_.end() && index < watched.size(); ++index) {
            if (line->fd != watched[index].fd) {
                continue;  // a line accepted in this round; it was not watched yet
            }
            bool keep = true;
            // A line over its cap is only written to; a broken one then shows
            // in Flush.
            if ((watched[index].revents & (POLLIN | POLLHUP | POLLERR)) && TakesInput(*line)) {
                keep = Receive(*line, options_.behaviour);
            }
            if (!keep) {
                close(line->fd);
                line = lines_.erase(line);
            } else {
                ++line;
            }
        }
    }

private:
    void AcceptClient() {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client >= 0) {
            starved_ = false;
            lines_.emplace_back(client, false, "tcp#" + std::to_string(++connections_),
                                options_.behaviour);
            Event("client connected", lines_.back().name);
        } else if (OutOfDescriptors(errno)) {
            if (!starved_) {
                Event("out of descriptors: new connections wait", "");
            }
            starved_ = true;
            acceptAgain_ = Clock::now() + kAcceptPause;
        }
    }

    const Options& options_;
    // Without --seconds the simulator runs until a signal stops it.
    const bool limited_;
    const Clock::time_point deadline_;
    std::list<Line> lines_;
    int heldSlave_ = -1;
    int listener_ = -1;
    long connections_ = 0;
    Clock::time_point acceptAgain_{};
    bool starved_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = zkpos::ParseOptions(argc, argv);
    g_quiet = options.quiet;
    signal(SIGPIPE, SIG_IGN);
    const sigset_t waitMask = CatchStopSignals();

    Simulator simulator(options);
    while (g_stopSignal == 0) {
        const Clock::time_point now = Clock::now();
        if (simulator.TimeIsUp(now)) {
            break;
        }
        simulator.SendDueAnswers(now);
        std::vector<pollfd> watched;
        const Clock::time_point wake = simulator.Watch(now, &watched);
        if (WaitUntil(watched, now, wake, waitMask)) {
            simulator.Serve(watched);
        }
    }
    if (g_stopSignal != 0) {
        Event("stopped by signal %ld", "", g_stopSignal);
    }
    return 0;
}

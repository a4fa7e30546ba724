// SPDX-License-Identifier: Apache-2.0
// A TCP device on 127.0.0.1:9100, the port the library always connects to.
// Suites that use it run through private-run.sh, in a network namespace of
// their own, so the port is never shared with another run.
#ifndef ZKPOS_TESTS_SUPPORT_LOOPBACKPEER_H
#define ZKPOS_TESTS_SUPPORT_LOOPBACKPEER_H

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace zkpos_test {

constexpr int kDevicePort = 9100;

class LoopbackPeer {
public:
    // Listens on 127.0.0.1:9100 with the given backlog.
    explicit LoopbackPeer(int backlog = 4);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool Ready() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    // Takes the next connection from the queue; false when none comes
    // within timeoutMs.
    bool Accept(int timeoutMs);
    // Sends on the accepted connection.
    bool Send(const std::string& bytes);
    // Collects what the library sent, until count bytes have come, the
    // library closed the connection or timeoutMs has passed.
    std::string Receive(size_t count, int timeoutMs);
    // Closes the accepted connection, as a device that goes away.
    void CloseConnection();
    // Closes it with a reset instead of an orderly end.
    void ResetConnection();
    // Ends the device's sending on the accepted connection (the library
    // reads the end of the stream) while it still receives.
    void ShutdownOutput();

    // From now on a device of its own answers the next connection (within
    // 10 s) by sending back every byte it receives, until either side ends.
    void Echo();
    // The bytes the echoing device has received so far.
    long Echoed() const { return echoed_; }

    // Makes the listener stop answering: connects from here until the
    // accept queue is full, so that the kernel drops every further SYN and
    // a new connect neither succeeds nor is refused. False when the queue
    // did not fill.
    bool FillAcceptQueue();

private:
    int listener_ = -1;
    int connection_ = -1;
    std::vector<int> fillers_;
    std::string error_;
    std::thread echo_;
    std::atomic<int> echoConnection_{-1};
    std::atomic<bool> stopping_{false};
    std::atomic<long> echoed_{0};
};

}  // namespace zkpos_test

#endif

// SPDX-License-Identifier: Apache-2.0
// A pseudo-terminal pair standing in for a serial device: the library opens
// the slave by its path, as it would open /dev/ttyS0, and the test plays the
// device on the master side.
#ifndef ZKPOS_TESTS_SUPPORT_PTYPAIR_H
#define ZKPOS_TESTS_SUPPORT_PTYPAIR_H

#include <cstddef>

#include <string>

namespace zkpos_test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // False when the pair could not be made; Error() says why.
    bool Ready() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    // The path to pass to the library as the port name.
    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }

    // Writes the bytes as the device: they arrive in the slave's input queue.
    bool Send(const std::string& bytes);
    // Waits until at least count bytes are waiting in the slave's input queue
    // (the line discipline moves them over asynchronously); false when they
    // are not there within timeoutMs.
    bool WaitQueued(size_t count, int timeoutMs) const;
    // Bytes waiting in the slave's input queue.
    size_t Queued() const;
    // Collects what the library wrote to the slave, until count bytes have
    // come or timeoutMs has passed without them.
    std::string Receive(size_t count, int timeoutMs);
    // The device hangs up: the master closes, which ends the line for the
    // library and takes the slave's node away. The pair is unusable after.
    void HangUp();

private:
    int master_ = -1;
    // Our own opening of the slave keeps the line up while the library has
    // the port closed (no hang-up on the master), and lets us look at the
    // input queue. We never read from it.
    int slave_ = -1;
    std::string slavePath_;
    std::string error_;
};

}  // namespace zkpos_test

#endif

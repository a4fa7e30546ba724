// SPDX-License-Identifier: Apache-2.0
// The conversation of the simulated device, apart from any transport: bytes
// from the client go in, the answer comes out. The simulator runs one of these
// per TCP connection and one for the pseudo-terminal.
#ifndef ZKPOS_DEVICE_PROTOCOL_H
#define ZKPOS_DEVICE_PROTOCOL_H

#include <cstddef>
#include <string>

namespace zkpos {

constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr unsigned char kEnq = 0x05;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;

// The longest frame payload the device keeps; a longer frame is answered NAK.
constexpr std::size_t kMaxFramePayload = 8192;

// How the device answers. The defaults make a well-behaved echo device.
struct Behaviour {
    unsigned char status = 0x40;  // the byte that answers ENQ
    int delayMs = 0;              // wait before every answer
    std::size_t largeBlock = 0;   // > 0: answer frames with a frame of this many bytes
    bool silent = false;          // swallow everything, answer nothing
    long closeAfterFrames = -1;   // >= 0: hang up after answering this many frames
};

class DeviceProtocol {
public:
    explicit DeviceProtocol(const Behaviour& behaviour) : behaviour_(behaviour) {}

    // Takes bytes as they arrive (frames may be split or merged in any way)
    // and returns what the device sends back for them, possibly nothing.
    std::string Feed(const unsigned char* data, std::size_t size);

    // True once the device has answered as many frames as it should before
    // hanging up; the transport closes the line after sending the answer.
    bool WantsHangUp() const;

    long FramesAnswered() const { return framesAnswered_; }

private:
    std::string AnswerFrame();

    Behaviour behaviour_;
    bool inFrame_ = false;
    bool overlong_ = false;
    std::string payload_;
    long framesAnswered_ = 0;
};

// The large block: STX, `size` bytes cycling through 'A'..'Z', ETX. Clients
// that want to check what arrived can rebuild it from its size alone.
std::string LargeFrame(std::size_t size);

}  // namespace zkpos

#endif

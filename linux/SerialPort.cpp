// SPDX-License-Identifier: Apache-2.0
// The serial transport: one fixed line setting (7 data bits, odd parity,
// 1 stop bit, RTS/CTS) at one of four speeds, one system call per write and
// per read.
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

#include "ZkPosSo.h"

struct termios m_TIO;
fd_set m_Input;

namespace {

// A reply of 8 bytes or more is usually still arriving when the first of it
// is seen; the pause lets the rest of the frame come in before the read.
const int kPauseThreshold = 8;
const long kPauseMicroseconds = 80000;

speed_t SpeedCode(int baudRate) {
    switch (baudRate) {
        case 9600:
            return B9600;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        default:
            return B19200;
    }
}

// Waits until the port is readable, at most the read time-out, signals or
// not, and no longer than the port is open. poll rather than select: a
// descriptor at or above FD_SETSIZE does not fit an fd_set. As with select, a
// port of -1 is simply not watched and the whole time-out is waited; a
// negative time-out is an error.
int WaitReadable(const PortCall& port, long timeoutSeconds) {
    return PollFor(port.Fd(), POLLIN, timeoutSeconds, port.Wake());
}

// A path is taken as the administrator wrote it: only a bare name is a
// Windows-style port name.
bool IsDevicePath(const char* name) {
    return name[0] == '/';
}

}  // namespace

int OpenSerialPort(const char* portName, int baudRate) {
    Trace("OpenSerialPort", 5, "Begin");
    Trace("OpenSerialPort", 3, "Port Name %s", portName);
    const char* path = ConvertPort(portName);
    // The new descriptor takes m_iFD's place; a port still there is forgotten.
    EndPort(false);

    // Non-blocking for the life of the port: reads wait in poll, never in read,
    // and a write never hangs on a line held by flow control. Close-on-exec: a
    // child the host starts must not hold the line after closeDevice.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Trace("OpenSerialPort", 1, "Open Port error");
        return -1;
    }

    // Built from zero, not from what the device holds: every flag not named
    // here is off (no input processing, no software flow control, raw output,
    // non-canonical input, one stop bit, VMIN and VTIME 0).
    memset(&m_TIO, 0, sizeof m_TIO);
    m_TIO.c_cflag = CRTSCTS | CLOCAL | PARODD | PARENB | CREAD | CS7 | SpeedCode(baudRate);

    // Only output is flushed: a device may have answered before the port was
    // opened, and that answer belongs to the first read.
    tcflush(fd, TCOFLUSH);
    tcsetattr(fd, TCSANOW, &m_TIO);

    FD_ZERO(&m_Input);
    if (fd < FD_SETSIZE) {
        FD_SET(fd, &m_Input);
    }
    AdoptPort(fd, false);
    Trace("OpenSerialPort", 5, "End");
    return 0;
}

const char* ConvertPort(const char* portName) {
    static const char* const kDevices[][2] = {{"COM1", "/dev/ttyS0"},
                                              {"COM2", "/dev/ttyS1"},
                                              {"COM3", "/dev/ttyS2"},
                                              {"COM4", "/dev/ttyS3"}};

    Trace("ConvertPort", 5, "Begin");
    const char* path = portName != nullptr ? portName : "";
    if (!IsDevicePath(path) && strstr(path, "COM") != nullptr) {
        for (const auto& device : kDevices) {
            if (strstr(path, device[0]) != nullptr) {
                path = device[1];
                break;
            }
        }
    }
    Trace("ConvertPort", 3, "strPort %s", path);
    Trace("ConvertPort", 5, "End");
    return path;
}

int WriteToSerialPort(unsigned char* bytes, int count) {
    int result = -1;
    Trace("WriteToSerialPort", 5, "Begin");
    TraceData("WriteToSerialPort", "strToSend (", bytes, count, ")");

    // The descriptor is non-blocking, so the write never waits; but a terminal
    // driver refuses a call with EINTR when a signal is pending as it starts,
    // before anything is written: write again.
    if (count >= 0) {
        PortCall port;
        do {
            result = static_cast<int>(write(port.Fd(), bytes, static_cast<size_t>(count)));
        } while (result < 0 && errno == EINTR);
    }
    Trace("WriteToSerialPort", 5, "End");
    return result;
}

int ReadFromSerialPort(char* block) {
    int waiting = 0;
    int result = -1;
    Trace("ReadFromSerialPort", 5, "Begin");

    {
        PortCall port;
        result = WaitReadable(port, m_lReadTimeout);
        if (result > 0) {
            ioctl(port.Fd(), FIONREAD, &waiting);
            if (waiting >= kPauseThreshold) {
                SleepFully(kPauseMicroseconds);
            }
            // As for the write: EINTR means nothing was read yet.
            do {
                result = static_cast<int>(read(port.Fd(), block, ZKPOS_READ_BLOCK_SIZE));
            } while (result < 0 && errno == EINTR);
        }
    }

    TraceData("ReadFromSerialPort", "strRead (", block, result, ") %d ", result);
    Trace("ReadFromSerialPort", 5, "End");
    return result;
}

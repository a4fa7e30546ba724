// SPDX-License-Identifier: Apache-2.0
// The byte moving that the test devices share: bounded sends and receives on
// a pseudo-terminal master or a socket, with every wait limited.
#ifndef ZKPOS_TESTS_SUPPORT_DEVICEIO_H
#define ZKPOS_TESTS_SUPPORT_DEVICEIO_H

#include <cstddef>
#include <string>

namespace zkpos_test {

// Milliseconds of a monotonic clock.
long NowMs();

// Writes all the bytes, waiting at most timeoutMs for room; false when they
// could not all go. Sockets are written without SIGPIPE.
bool SendBytes(int fd, const std::string& bytes, int timeoutMs);

// Collects what arrives until count bytes have come, the other side closed or
// timeoutMs has passed.
std::string ReceiveBytes(int fd, size_t count, int timeoutMs);

}  // namespace zkpos_test

#endif

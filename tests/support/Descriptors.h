// SPDX-License-Identifier: Apache-2.0
// Descriptor bookkeeping for the tests: pushing the library's next port
// above FD_SETSIZE, and counting what a process holds open.
#ifndef ZKPOS_TESTS_SUPPORT_DESCRIPTORS_H
#define ZKPOS_TESTS_SUPPORT_DESCRIPTORS_H

#include <cstddef>

#include <string>
#include <vector>

namespace zkpos_test {

// Holds every free descriptor below the given number, so that the next one
// the process opens is at or above it (as in a JVM that has many files and
// sockets open). Raises the descriptor limit as far as needed first.
class DescriptorFiller {
public:
    explicit DescriptorFiller(int lowest);
    ~DescriptorFiller();
    DescriptorFiller(const DescriptorFiller&) = delete;
    DescriptorFiller& operator=(const DescriptorFiller&) = delete;

    bool Ready() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

private:
    std::vector<int> held_;
    std::string error_;
};

// The number of descriptors the process has open.
size_t CountOpenDescriptors();

// Milliseconds on a monotonic clock.
long MonotonicMs();

}  // namespace zkpos_test

#endif

// SPDX-License-Identifier: Apache-2.0
// Device data as the library gets it from a Java array: a heap copy of exactly
// the bytes, with nothing after them, so that a reader that looks for a
// terminator runs off the end where the sanitizers see it.
#ifndef ZKPOS_TESTS_SUPPORT_EXACTBYTES_H
#define ZKPOS_TESTS_SUPPORT_EXACTBYTES_H

#include <cstdlib>
#include <cstring>

#include <string>

namespace zkpos_test {

class ExactBytes {
public:
    explicit ExactBytes(const std::string& bytes)
        : data_(static_cast<unsigned char*>(malloc(bytes.empty() ? 1 : bytes.size()))),
          length_(static_cast<int>(bytes.size())) {
        memcpy(data_, bytes.data(), bytes.size());
    }
    ~ExactBytes() { free(data_); }
    ExactBytes(const ExactBytes&) = delete;
    ExactBytes& operator=(const ExactBytes&) = delete;
    unsigned char* Data() { return data_; }
    int Length() const { return length_; }

private:
    unsigned char* data_;
    int length_;
};

}  // namespace zkpos_test

#endif

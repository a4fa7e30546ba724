// SPDX-License-Identifier: Apache-2.0
// The simulator's command line: what it simulates, how the device answers,
// how long it lives.
#ifndef ZKPOS_SIMULATOR_OPTIONS_H
#define ZKPOS_SIMULATOR_OPTIONS_H

#include "DeviceProtocol.h"

#include <string>

namespace zkpos {

struct Options {
    std::string address = "127.0.0.1";
    long port = 9100;
    bool tcp = true;
    bool pty = true;
    long seconds = 0;  // 0: until stopped
    bool quiet = false;
    Behaviour behaviour;
};

// Reads the command line; prints the usage and exits 0 for --help, prints one
// line and exits 2 for anything it cannot take.
Options ParseOptions(int argc, char** argv);

// Prints "zkpos-simulator: what" and exits with status 2.
[[noreturn]] void Fail(const std::string& what);

}  // namespace zkpos

#endif

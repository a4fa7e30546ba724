// SPDX-License-Identifier: Apache-2.0
#include "SimulatorOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace zkpos {

namespace {

const char kUsage[] =
    "usage: zkpos-simulator [options]\n"
    "\n"
    "Plays a printer-like device for the point-of-sale port libraries, on TCP\n"
    "127.0.0.1:9100 and on a pseudo-terminal. Its first lines on standard output\n"
    "name what it opened, for example:\n"
    "  pty /dev/pts/3\n"
    "  tcp 127.0.0.1:9100\n"
    "Every client (each TCP connection, the terminal) gets its own conversation:\n"
    "  STX payload ETX   answered ACK STX payload ETX (the frame echoed back)\n"
    "  ENQ               answered by the status byte (outside a frame)\n"
    "  frame over 8192 bytes of payload: answered NAK\n"
    "  any other byte between frames is ignored\n"
    "\n"
    "options:\n"
    "  --address A       TCP listen address (default 127.0.0.1)\n"
    "  --port P          TCP port (default 9100; 0 picks a free port)\n"
    "  --no-tcp          no TCP listener\n"
    "  --no-pty          no pseudo-terminal\n"
    "  --status B        status byte for ENQ, decimal or 0x.. (default 0x40 '@')\n"
    "  --delay MS        answer slowly: wait MS milliseconds before every answer\n"
    "  --large N         answer every frame with ACK and a frame of N payload bytes\n"
    "                    cycling A..Z (N above 1024 needs more than one read)\n"
    "  --silent          read everything, answer nothing\n"
    "  --close-after N   close the connection (hang up the terminal) after\n"
    "                    answering N frames; 0 closes as soon as a client connects\n"
    "  --seconds N       stop after N seconds (default: run until stopped);\n"
    "                    Ctrl-C (SIGINT) and SIGTERM stop it at once\n"
    "  --quiet           no event lines on standard error\n"
    "  --help            this text\n"
    "  --version         the version\n";

long ParseNumber(const char* option, const char* text, long low, long high) {
    if (text == nullptr) {
        Fail(std::string(option) + " needs a value");
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        Fail(std::string(option) + ": '" + text + "' is not a number from " + std::to_string(low) +
             " to " + std::to_string(high));
    }
    return value;
}

}  // namespace

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "zkpos-simulator: %s\n", what.c_str());
    std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (option == "--version") {
            std::printf("zkpos-simulator %s\n", ZKPOS_VERSION);
            std::exit(0);
        } else if (option == "--address") {
            if (value == nullptr) {
                Fail("--address needs a value");
            }
            options.address = value;
            ++i;
        } else if (option == "--port") {
            options.port = ParseNumber("--port", value, 0, 65535);
            ++i;
        } else if (option == "--no-tcp") {
            options.tcp = false;
        } else if (option == "--no-pty") {
            options.pty = false;
        } else if (option == "--status") {
            options.behaviour.status =
                static_cast<unsigned char>(ParseNumber("--status", value, 0, 255));
            ++i;
        } else if (option == "--delay") {
            options.behaviour.delayMs = static_cast<int>(ParseNumber("--delay", value, 0, 60000));
            ++i;
        } else if (option == "--large") {
            options.behaviour.largeBlock =
                static_cast<std::size_t>(ParseNumber("--large", value, 1, 1 << 20));
            ++i;
        } else if (option == "--silent") {
            options.behaviour.silent = true;
        } else if (option == "--close-after") {
            options.behaviour.closeAfterFrames = ParseNumber("--close-after", value, 0, 1L << 30);
            ++i;
        } else if (option == "--seconds") {
            options.seconds = ParseNumber("--seconds", value, 1, 24L * 3600);
            ++i;
        } else if (option == "--quiet") {
            options.quiet = true;
        } else {
            Fail("unknown option '" + option + "' (try --help)");
        }
    }
    if (!options.tcp && !options.pty) {
        Fail("--no-tcp and --no-pty leave nothing to simulate");
    }
    return options;
}

}  // namespace zkpos

// SPDX-License-Identifier: Apache-2.0
// device-peer: the test devices (PtyPair, LoopbackPeer) for suites that cannot
// make them in their own process, such as the JVM suites. One device a run:
//
//   device-peer pty            a pseudo-terminal        -> "pty <slave path>"
//   device-peer tcp [backlog]  127.0.0.1:9100           -> "tcp 127.0.0.1:9100"
//
// Then one command a line on standard input, one answer line each on
// standard output ("error <reason>" when a command fails); bytes travel as
// hexadecimal text and every wait is bounded:
//
//   send <hex>          the device sends; on a terminal the answer comes once
//                       the bytes wait in the slave's input queue -> "sent <n>"
//   recv <count> <ms>   what the library wrote, until count bytes,
//                       its end or ms milliseconds                -> "data <hex>"
//   queued              bytes in the slave's input queue          -> "queued <n>"
//   hangup              the terminal's master closes              -> "ok"
//   accept <ms>         takes the library's connection            -> "ok"
//   close | reset       ends the connection, orderly or by reset   -> "ok"
//   shutdown            ends only the device's sending            -> "ok"
//   echo                the next connection gets back what it sends -> "ok"
//   echoed              bytes the echo has received so far        -> "echoed <n>"
//   fill                fills the accept queue, so that a connect
//                       neither succeeds nor is refused           -> "ok"
//   quit, or the end of input: the device goes away.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "LoopbackPeer.h"
#include "PtyPair.h"

namespace {

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

bool Unhex(const char* text, std::string* bytes) {
    auto value = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (; text[0] != '\0'; text += 2) {
        int high = value(text[0]);
        int low = value(text[1]);
        if (high < 0 || low < 0) {
            return false;
        }
        *bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

// Answers one command for a terminal device; false when it is not one.
bool ServeTerminal(zkpos_test::PtyPair& pty, const std::string& command, const char* argument) {
    if (command == "send") {
        std::string bytes;
        if (!Unhex(argument, &bytes) || !pty.Send(bytes)) {
            printf("error send\n");
        } else {
            // The line discipline moves the bytes over on its own time: answer
            // once the library can see them.
            pty.WaitQueued(bytes.size(), 3000);
            printf("sent %zu\n", pty.Queued());
        }
    } else if (command == "recv") {
        char* end = nullptr;
        size_t count = strtoul(argument, &end, 10);
        printf("data %s\n", Hex(pty.Receive(count, atoi(end))).c_str());
    } else if (command == "queued") {
        printf("queued %zu\n", pty.Queued());
    } else if (command == "hangup") {
        pty.HangUp();
        printf("ok\n");
    } else {
        return false;
    }
    return true;
}

// The commands of a TCP device that only act.
const std::map<std::string, void (zkpos_test::LoopbackPeer::*)()> kActions = {
    {"close", &zkpos_test::LoopbackPeer::CloseConnection},
    {"reset", &zkpos_test::LoopbackPeer::ResetConnection},
    {"shutdown", &zkpos_test::LoopbackPeer::ShutdownOutput},
    {"echo", &zkpos_test::LoopbackPeer::Echo},
};

// Answers one command for a TCP device; false when it is not one.
bool ServeConnection(zkpos_test::LoopbackPeer& peer, const std::string& command,
                     const char* argument) {
    if (command == "send") {
        std::string bytes;
        bool sent = Unhex(argument, &bytes) && peer.Send(bytes);
        printf(sent ? "sent %zu\n" : "error send\n", bytes.size());
    } else if (command == "recv") {
        char* end = nullptr;
        size_t count = strtoul(argument, &end, 10);
        printf("data %s\n", Hex(peer.Receive(count, atoi(end))).c_str());
    } else if (command == "accept") {
        printf(peer.Accept(atoi(argument)) ? "ok\n" : "error no connection came\n");
    } else if (kActions.count(command) != 0) {
        (peer.*kActions.at(command))();
        printf("ok\n");
    } else if (command == "echoed") {
        printf("echoed %ld\n", peer.Echoed());
    } else if (command == "fill") {
        printf(peer.FillAcceptQueue() ? "ok\n" : "error the accept queue did not fill\n");
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string kind = argc > 1 ? argv[1] : "";
    std::unique_ptr<zkpos_test::PtyPair> pty;
    std::unique_ptr<zkpos_test::LoopbackPeer> peer;
    if (kind == "pty") {
        pty.reset(new zkpos_test::PtyPair);
        if (!pty->Ready()) {
            printf("error %s\n", pty->Error().c_str());
            return 1;
        }
        printf("pty %s\n", pty->SlavePath().c_str());
    } else if (kind == "tcp") {
        peer.reset(new zkpos_test::LoopbackPeer(argc > 2 ? atoi(argv[2]) : 50));
        if (!peer->Ready()) {
            printf("error %s\n", peer->Error().c_str());
            return 1;
        }
        printf("tcp 127.0.0.1:%d\n", zkpos_test::kDevicePort);
    } else {
        fprintf(stderr, "usage: device-peer pty | device-peer tcp [backlog]\n");
        return 2;
    }

    static char line[1 << 17];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        char* blank = strchr(line, ' ');
        const char* argument = blank != nullptr ? blank + 1 : "";
        std::string command(line,
                            blank != nullptr ? static_cast<size_t>(blank - line) : strlen(line));
        if (command == "quit") {
            break;
        }
        bool served = pty ? ServeTerminal(*pty, command, argument)
                          : ServeConnection(*peer, command, argument);
        if (!served) {
            printf("error unknown command %s\n", command.c_str());
        }
    }
    return 0;
}

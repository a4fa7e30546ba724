// SPDX-License-Identifier: Apache-2.0
// The splitting of an Ethernet port name, host or host:port, into what the
// communication layer's InitEthTCP takes. Plain text work with no Windows
// header, so that it is tested and fuzzed on any platform.
#ifndef ZKPOS_ETHERNET_ADDRESS_H
#define ZKPOS_ETHERNET_ADDRESS_H

#include <cstddef>

// Room for the host and for the port text of an address, terminator included.
#define ZKPOS_ADDRESS_FIELD_SIZE 20
#define ZKPOS_DEFAULT_ETHERNET_PORT 9100

struct EthernetAddress {
    char host[ZKPOS_ADDRESS_FIELD_SIZE];
    int port;
};

// The host is the text before the first ':' (the whole text without one); the
// port is the decimal value of the text after it, as strtol reads it (0 without
// digits, held to the int range), or 9100 without a ':'. False, leaving split
// empty, when the host or the port text is longer than
// ZKPOS_ADDRESS_FIELD_SIZE - 1 characters.
bool SplitEthernetAddress(const char* address, EthernetAddress* split);

#endif

// SPDX-License-Identifier: Apache-2.0
#include "EthernetAddress.h"

#include <climits>
#include <cstdlib>
#include <cstring>

bool SplitEthernetAddress(const char* address, EthernetAddress* split) {
    memset(split, 0, sizeof *split);
    const char* colon = strchr(address, ':');
    size_t hostLength = colon != nullptr ? static_cast<size_t>(colon - address) : strlen(address);
    size_t portLength = colon != nullptr ? strlen(colon + 1) : 0;
    // Cutting a name could make it another host's; a long one is refused.
    if (hostLength >= ZKPOS_ADDRESS_FIELD_SIZE || portLength >= ZKPOS_ADDRESS_FIELD_SIZE) {
        return false;
    }
    memcpy(split->host, address, hostLength);
    if (colon == nullptr) {
        split->port = ZKPOS_DEFAULT_ETHERNET_PORT;
        return true;
    }
    char portText[ZKPOS_ADDRESS_FIELD_SIZE] = "";
    memcpy(portText, colon + 1, portLength);
    // Where long is wider than int, the value is held to the int range as a
    // 32-bit long would hold it.
    long port = strtol(portText, nullptr, 10);
    split->port = port > INT_MAX ? INT_MAX : port < INT_MIN ? INT_MIN : static_cast<int>(port);
    return true;
}

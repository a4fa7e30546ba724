// SPDX-License-Identifier: Apache-2.0
// SplitEthernetAddress with any port name: the caller's text stays as it was,
// a host or port text over 19 characters is refused with nothing kept, and
// any other name splits at its first ':' into exactly the host before it and
// the decimal value after it, read here by a parser of our own.
#include <climits>
#include <cstring>
#include <string>

#include "EthernetAddress.h"
#include "FuzzSupport.h"

using zkpos_fuzz::Require;

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Leading blanks, a sign, the digits up to the first other character; the
// value held to the int range; 0 without digits.
int ExpectedPort(const std::string& text) {
    size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (value <= INT_MAX) {
            value = value * 10 + (text[at] - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto address = zkpos_fuzz::Terminated(data, size);
    std::string text(address.get());
    EthernetAddress split;
    memset(&split, 'x', sizeof split);

    bool accepted = SplitEthernetAddress(address.get(), &split);

    Require(text == address.get(), "the caller's address is left as it was");
    size_t colon = text.find(':');
    std::string host = text.substr(0, colon);
    std::string portText = colon == std::string::npos ? "" : text.substr(colon + 1);
    bool fits =
        host.size() < ZKPOS_ADDRESS_FIELD_SIZE && portText.size() < ZKPOS_ADDRESS_FIELD_SIZE;
    Require(accepted == fits,
            "exactly the names with a host and port text of 19 characters at "
            "most are accepted");
    if (!accepted) {
        Require(split.host[0] == '\0' && split.port == 0, "a refused name leaves nothing behind");
        return 0;
    }
    Require(memchr(split.host, '\0', sizeof split.host) != nullptr && host == split.host,
            "the host is the text before the first ':', terminated within its field");
    int port = colon == std::string::npos ? ZKPOS_DEFAULT_ETHERNET_PORT : ExpectedPort(portText);
    Require(split.port == port, "the port is 9100 without a ':', else the value after it");
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// A name server that never answers: it binds UDP 127.0.0.1:53 and leaves every
// query unread, so a resolver pointed at it waits for its whole time-out.
// Prints "listening" once bound, and ends after the seconds given (120 by
// default), so a forgotten one never lingers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    unsigned left = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 120;
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    if (udp < 0) {
        perror("silent-name-server: socket");
        return 1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        perror("silent-name-server: bind 127.0.0.1:53");
        return 1;
    }
    printf("listening\n");
    fflush(stdout);
    // A signal cuts a sleep short; what is left is slept again.
    while (left > 0) {
        left = sleep(left);
    }
    return 0;
}

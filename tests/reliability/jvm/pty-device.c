// SPDX-License-Identifier: Apache-2.0
/*
 * A serial device for the JVM fault tests: a pseudo-terminal whose slave the
 * library opens by path while this program plays the device on the master.
 * It prints the slave's path on its first line, then obeys one command per
 * line on its standard input and answers each with one line:
 *   send HEX     the device sends these bytes          -> ok
 *   recv COUNT   what the library wrote, up to COUNT
 *                bytes, waiting at most 5 s            -> HEX (possibly empty)
 *   hangup       the device hangs up: the master is
 *                closed and the slave's node goes away -> ok
 * End of input ends the program. The master is never read except by recv, so
 * what the library writes piles up like output to a device that stopped
 * reading.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int master = -1;

static int Send(const char* hex) {
    unsigned char bytes[4096];
    size_t count = 0;
    while (hex[0] != '\0' && hex[1] != '\0' && count < sizeof bytes) {
        unsigned value;
        if (sscanf(hex, "%2x", &value) != 1) {
            return -1;
        }
        bytes[count++] = (unsigned char)value;
        hex += 2;
    }
    return write(master, bytes, count) == (ssize_t)count ? 0 : -1;
}

static void Receive(size_t wanted) {
    unsigned char bytes[4096];
    size_t got = 0;
    if (wanted > sizeof bytes) {
        wanted = sizeof bytes;
    }
    while (got < wanted) {
        struct pollfd readable = {master, POLLIN, 0};
        if (poll(&readable, 1, 5000) <= 0) {
            break;
        }
        ssize_t n = read(master, bytes + got, wanted - got);
        if (n <= 0) {
            break;
        }
        got += (size_t)n;
    }
    for (size_t i = 0; i < got; ++i) {
        printf("%02x", bytes[i]);
    }
    printf("\n");
}

int main(void) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        perror("pty-device: no pseudo-terminal");
        return 1;
    }
    const char* slave = ptsname(master);
    if (slave == NULL) {
        perror("pty-device: no slave name");
        return 1;
    }
    printf("%s\n", slave);
    fflush(stdout);

    char line[16384];
    while (fgets(line, sizeof line, stdin) != NULL) {
        line[strcspn(line, "\r\n")] = '\0';
        if (strncmp(line, "send ", 5) == 0) {
            printf("%s\n", master >= 0 && Send(line + 5) == 0 ? "ok" : "failed");
        } else if (strncmp(line, "recv ", 5) == 0 && master >= 0) {
            Receive((size_t)strtoul(line + 5, NULL, 10));
        } else if (strcmp(line, "hangup") == 0) {
            close(master);
            master = -1;
            printf("ok\n");
        } else {
            printf("failed\n");
        }
        fflush(stdout);
    }
    return 0;
}

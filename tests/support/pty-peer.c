// SPDX-License-Identifier: Apache-2.0
/*
 * pty-peer: a serial device for tests that cannot open a pseudo-terminal
 * themselves (the JVM suites). It makes a pty pair, tells the slave's path,
 * and plays the device on the master side, driven by one command per line
 * on its standard input. Every answer is one line on its standard output;
 * bytes travel as hexadecimal text.
 *
 *   (at start)           -> "slave <path>"
 *   send <hex>           -> writes the bytes as the device, waits until they
 *                           are in the slave's input queue: "sent <queued>"
 *   recv <count> <ms>    -> what the library wrote to the slave, until count
 *                           bytes or ms milliseconds: "data <hex>"
 *   queued               -> "queued <bytes waiting in the slave's input queue>"
 *   quit, or end of input: exits.
 * A command that fails answers "error <reason>". Every wait is bounded.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { kLineSize = 65536, kQueueWaitMs = 3000 };

static int master = -1;
/* Our own opening of the slave keeps the line up while the library has the
   port closed, and lets us look at its input queue. We never read from it. */
static int slave = -1;

static long NowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

static int Queued(void) {
    int waiting = 0;
    if (ioctl(slave, FIONREAD, &waiting) != 0) {
        return -1;
    }
    return waiting;
}

static int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

static void Send(const char* hex) {
    static unsigned char bytes[kLineSize / 2];
    size_t length = 0;
    while (hex[0] != '\0' && hex[0] != '\n') {
        int high = HexValue(hex[0]);
        int low = hex[1] == '\0' ? -1 : HexValue(hex[1]);
        if (high < 0 || low < 0) {
            printf("error bad hex\n");
            return;
        }
        bytes[length++] = (unsigned char)(high * 16 + low);
        hex += 2;
    }
    int before = Queued();
    size_t sent = 0;
    long deadline = NowMs() + kQueueWaitMs;
    while (sent < length) {
        ssize_t n = write(master, bytes + sent, length - sent);
        if (n > 0) {
            sent += (size_t)n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            printf("error write: %s\n", strerror(errno));
            return;
        } else if (NowMs() > deadline) {
            printf("error write timed out\n");
            return;
        } else {
            struct pollfd wait = {master, POLLOUT, 0};
            poll(&wait, 1, 50);
        }
    }
    /* The line discipline moves the bytes over on its own time; answer only
       once the library can see them. */
    int queued = Queued();
    while (queued >= 0 && queued < before + (int)length && NowMs() < deadline) {
        usleep(1000);
        queued = Queued();
    }
    printf("sent %d\n", queued);
}

static void Receive(size_t count, int timeoutMs) {
    static unsigned char bytes[kLineSize / 2];
    if (count > sizeof(bytes)) {
        count = sizeof(bytes);
    }
    size_t received = 0;
    long deadline = NowMs() + timeoutMs;
    while (received < count) {
        long left = deadline - NowMs();
        if (left <= 0) {
            break;
        }
        struct pollfd wait = {master, POLLIN, 0};
        if (poll(&wait, 1, (int)left) <= 0) {
            continue;
        }
        ssize_t n = read(master, bytes + received, count - received);
        if (n > 0) {
            received += (size_t)n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    printf("data ");
    for (size_t i = 0; i < received; ++i) {
        printf("%02x", bytes[i]);
    }
    printf("\n");
}

int main(void) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        printf("error posix_openpt: %s\n", strerror(errno));
        return 1;
    }
    const char* path = ptsname(master);
    if (path == NULL) {
        printf("error ptsname: %s\n", strerror(errno));
        return 1;
    }
    slave = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios raw;
    if (slave < 0 || tcgetattr(slave, &raw) != 0) {
        printf("error open %s: %s\n", path, strerror(errno));
        return 1;
    }
    /* Raw until the library sets the line up: nothing echoed or translated. */
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("slave %s\n", path);

    static char line[kLineSize];
    while (fgets(line, sizeof(line), stdin) != NULL) {
        unsigned long count = 0;
        int timeoutMs = 0;
        if (strncmp(line, "send ", 5) == 0) {
            Send(line + 5);
        } else if (sscanf(line, "recv %lu %d", &count, &timeoutMs) == 2) {
            Receive((size_t)count, timeoutMs);
        } else if (strcmp(line, "queued\n") == 0) {
            printf("queued %d\n", Queued());
        } else if (strcmp(line, "quit\n") == 0) {
            break;
        } else {
            printf("error unknown command\n");
        }
    }
    return 0;
}

// SPDX-License-Identifier: Apache-2.0
// Waits that survive signals. In a JVM, profilers and monitoring agents signal
// threads at any time, and a signal handled by the calling thread cuts a wait
// short with EINTR, SA_RESTART or not (ppoll and socket calls with a time-out
// are never restarted). These waits go on for the time that is left, so that
// a call ends when its event comes or its whole time-out has passed, never
// earlier.
#include <cerrno>
#include <poll.h>
#include <cstdint>
#include <ctime>

#include <limits>

#include "ZkPosSo.h"

namespace {

const long kNanosecondsPerSecond = 1000000000L;

struct timespec Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace

struct timespec TimeLeft(const Deadline& deadline) {
    struct timespec now = Now();
    struct timespec left = {deadline.end.tv_sec - now.tv_sec, deadline.end.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_nsec += kNanosecondsPerSecond;
        --left.tv_sec;
    }
    if (left.tv_sec < 0) {
        left.tv_sec = 0;
        left.tv_nsec = 0;
    }
    return left;
}

struct timespec WaitStart() {
    return Now();
}

Deadline DeadlineAfter(const struct timespec& start, long seconds, long microseconds) {
    // Checked arithmetic throughout: a time-out near the top of long is a
    // wait as long as the clock can count, never a wrapped, past deadline.
    int64_t endSeconds = 0;
    int64_t nanoseconds = 0;
    if (__builtin_mul_overflow(static_cast<int64_t>(microseconds), 1000, &nanoseconds) ||
        __builtin_add_overflow(nanoseconds, static_cast<int64_t>(start.tv_nsec), &nanoseconds) ||
        __builtin_add_overflow(static_cast<int64_t>(start.tv_sec), static_cast<int64_t>(seconds),
                               &endSeconds) ||
        __builtin_add_overflow(endSeconds, nanoseconds / kNanosecondsPerSecond, &endSeconds)) {
        return NoDeadline();
    }
    nanoseconds %= kNanosecondsPerSecond;
    if (nanoseconds < 0) {
        nanoseconds += kNanosecondsPerSecond;
        --endSeconds;
    }
    // A time-out beyond what the clock can count (years on a 32-bit time_t)
    // is as good as none.
    if (endSeconds > static_cast<int64_t>(std::numeric_limits<time_t>::max())) {
        return NoDeadline();
    }
    Deadline deadline;
    deadline.unlimited = false;
    deadline.end.tv_sec = static_cast<time_t>(endSeconds);
    deadline.end.tv_nsec = static_cast<long>(nanoseconds);
    return deadline;
}

long ClampTimeout(long long seconds) {
    if (seconds > std::numeric_limits<long>::max()) {
        return std::numeric_limits<long>::max();
    }
    if (seconds < std::numeric_limits<long>::min()) {
        return std::numeric_limits<long>::min();
    }
    return static_cast<long>(seconds);
}

Deadline NoDeadline() {
    Deadline deadline;
    deadline.unlimited = true;
    deadline.end.tv_sec = 0;
    deadline.end.tv_nsec = 0;
    return deadline;
}

bool DeadlinePassed(const Deadline& deadline) {
    if (deadline.unlimited) {
        return false;
    }
    struct timespec left = TimeLeft(deadline);
    return left.tv_sec == 0 && left.tv_nsec == 0;
}

int PollUntil(int fd, short events, const Deadline& deadline, int wake) {
    struct pollfd watched[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    for (;;) {
        struct timespec left;
        if (!deadline.unlimited) {
            left = TimeLeft(deadline);
        }
        int result = ppoll(watched, 2, deadline.unlimited ? nullptr : &left, nullptr);
        if (result > 0 && watched[1].revents != 0) {
            errno = ECANCELED;
            return -1;
        }
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

int PollFor(int fd, short events, long seconds, int wake) {
    if (seconds < 0) {
        errno = EINVAL;
        return -1;
    }
    return PollUntil(fd, events, DeadlineAfter(WaitStart(), seconds, 0), wake);
}

void SleepFully(long microseconds) {
    Deadline deadline = DeadlineAfter(WaitStart(), 0, microseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline.end, nullptr) == EINTR) {
    }
}

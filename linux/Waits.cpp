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

// The time from now until the deadline; zero once it has passed.
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

}  // namespace

struct timespec WaitStart() {
    return Now();
}

Deadline DeadlineAfter(const struct timespec& start, long seconds, long microseconds) {
    Deadline deadline;
    deadline.unlimited = false;
    int64_t endSeconds = static_cast<int64_t>(start.tv_sec) + seconds;
    long endNanoseconds = start.tv_nsec + microseconds * 1000;
    endSeconds += endNanoseconds / kNanosecondsPerSecond;
    endNanoseconds %= kNanosecondsPerSecond;
    // A time-out beyond what the clock can count (years on a 32-bit time_t)
    // is as good as none.
    if (endSeconds > static_cast<int64_t>(std::numeric_limits<time_t>::max())) {
        return NoDeadline();
    }
    deadline.end.tv_sec = static_cast<time_t>(endSeconds);
    deadline.end.tv_nsec = endNanoseconds;
    return deadline;
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

int PollUntil(int fd, short events, const Deadline& deadline) {
    struct pollfd watched = {fd, events, 0};
    for (;;) {
        struct timespec left;
        if (!deadline.unlimited) {
            left = TimeLeft(deadline);
        }
        int result = ppoll(&watched, 1, deadline.unlimited ? nullptr : &left, nullptr);
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

int PollFor(int fd, short events, long seconds) {
    if (seconds < 0) {
        errno = EINVAL;
        return -1;
    }
    return PollUntil(fd, events, DeadlineAfter(WaitStart(), seconds, 0));
}

void SleepFully(long microseconds) {
    Deadline deadline = DeadlineAfter(WaitStart(), 0, microseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline.end, nullptr) == EINTR) {
    }
}

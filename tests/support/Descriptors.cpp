// SPDX-License-Identifier: Apache-2.0
#include "Descriptors.h"

#include <dirent.h>
#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <sys/resource.h>
#include <ctime>
#include <unistd.h>

namespace zkpos_test {

DescriptorFiller::DescriptorFiller(int lowest) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        error_ = std::string("getrlimit: ") + strerror(errno);
        return;
    }
    rlim_t wanted = static_cast<rlim_t>(lowest) + 256;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = wanted;
        if (limit.rlim_max < wanted) {
            limit.rlim_max = wanted;
        }
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            error_ = std::string("setrlimit: ") + strerror(errno);
            return;
        }
    }
    for (;;) {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error_ = std::string("open /dev/null: ") + strerror(errno);
            return;
        }
        if (fd >= lowest) {
            close(fd);
            return;
        }
        held_.push_back(fd);
    }
}

DescriptorFiller::~DescriptorFiller() {
    for (int fd : held_) {
        close(fd);
    }
}

size_t CountOpenDescriptors() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return 0;
    }
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

long MonotonicMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

}  // namespace zkpos_test

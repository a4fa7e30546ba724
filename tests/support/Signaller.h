// SPDX-License-Identifier: Apache-2.0
// A JVM's profiler or monitoring agent, as the waits meet it: one thread
// signalled with SIGUSR1 every 50 ms. The suite installs the handler.
#ifndef ZKPOS_TESTS_SUPPORT_SIGNALLER_H
#define ZKPOS_TESTS_SUPPORT_SIGNALLER_H

#include <pthread.h>
#include <csignal>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace zkpos_test {

// Signals one thread with SIGUSR1 every 50 ms for as long as it lives.
class Signaller {
public:
    explicit Signaller(pthread_t target)
        : target_(target), thread_([this] {
              while (!stop_.load()) {
                  pthread_kill(target_, SIGUSR1);
                  usleep(50 * 1000);
              }
          }) {}
    ~Signaller() {
        stop_.store(true);
        thread_.join();
    }
    Signaller(const Signaller&) = delete;
    Signaller& operator=(const Signaller&) = delete;

private:
    pthread_t target_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zkpos_test

#endif

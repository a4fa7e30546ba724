// SPDX-License-Identifier: Apache-2.0
// The plain C baselines, run inside the benchmark's JVM so that they meet the
// same peer, the same scheduler and the same moment as the variants they are
// compared with. Each loop runs a whole batch inside one native call, so the
// figures hold the system calls and nothing of Java; they return the batch's
// elapsed nanoseconds, or -1 when the peer failed them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <jni.h>
#include <netinet/in.h>
#include <cstdint>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <ctime>
#include <unistd.h>

namespace {

const unsigned short kDevicePort = 9100;
const int kBlockSize = 1024;
// The same threshold and pause as the library's serial read: the baseline
// makes the library's sequence of calls, with nothing around it.
const int kPauseThreshold = 8;
const useconds_t kPauseMicroseconds = 80000;
// No wait of a benchmark may hang it.
const int kWaitSeconds = 5;

int64_t Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool SendAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveAll(int fd, char* bytes, size_t length) {
    while (length > 0) {
        ssize_t received = recv(fd, bytes, length, 0);
        if (received <= 0) {
            return false;
        }
        bytes += received;
        length -= static_cast<size_t>(received);
    }
    return true;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_zelkor_jpos_bench_Baseline_connectPeer(JNIEnv*, jclass) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    struct timeval wait = {kWaitSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(kDevicePort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

JNIEXPORT jboolean JNICALL Java_com_zelkor_jpos_bench_Baseline_send(JNIEnv* env, jclass, jint fd,
                                                                    jbyteArray data) {
    jsize length = env->GetArrayLength(data);
    char bytes[256];
    if (length > static_cast<jsize>(sizeof bytes)) {
        return JNI_FALSE;
    }
    env->GetByteArrayRegion(data, 0, length, reinterpret_cast<jbyte*>(bytes));
    return SendAll(fd, bytes, static_cast<size_t>(length)) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_com_zelkor_jpos_bench_Baseline_close(JNIEnv*, jclass, jint fd) {
    close(fd);
}

// count round trips of size bytes through an echoing peer.
JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_bench_Baseline_roundTrips(JNIEnv*, jclass, jint fd,
                                                                       jint count, jint size) {
    char out[kBlockSize];
    char in[kBlockSize];
    if (size <= 0 || size > kBlockSize) {
        return -1;
    }
    memset(out, 'r', sizeof out);
    int64_t start = Now();
    for (jint i = 0; i < count; ++i) {
        if (!SendAll(fd, out, static_cast<size_t>(size)) ||
            !ReceiveAll(fd, in, static_cast<size_t>(size))) {
            return -1;
        }
    }
    return Now() - start;
}

// total bytes in chunk-sized sends to a draining peer, until it acknowledges
// the last of them.
JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_bench_Baseline_bulkWrite(JNIEnv*, jclass, jint fd,
                                                                      jlong total, jint chunk) {
    char out[kBlockSize];
    if (chunk <= 0 || chunk > kBlockSize) {
        return -1;
    }
    memset(out, 'w', sizeof out);
    int64_t start = Now();
    for (jlong sent = 0; sent < total; sent += chunk) {
        if (!SendAll(fd, out, static_cast<size_t>(chunk))) {
            return -1;
        }
    }
    char acknowledgement;
    if (!ReceiveAll(fd, &acknowledgement, 1)) {
        return -1;
    }
    return Now() - start;
}

// Asks a sourcing peer for its unit and receives total bytes of it, at most a
// block per call, as the library reads.
JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_bench_Baseline_bulkRead(JNIEnv*, jclass, jint fd,
                                                                     jlong total) {
    char block[kBlockSize];
    int64_t start = Now();
    if (!SendAll(fd, "g", 1)) {
        return -1;
    }
    for (jlong received = 0; received < total;) {
        ssize_t count = recv(fd, block, sizeof block, 0);
        if (count <= 0) {
            return -1;
        }
        received += count;
    }
    return Now() - start;
}

// The least a native write method can do with the JNI calls the library is
// bound to: the array's elements, one send, the release with copy-back.
JNIEXPORT jint JNICALL Java_com_zelkor_jpos_bench_Baseline_writeArray(JNIEnv* env, jclass, jint fd,
                                                                      jbyteArray data) {
    jsize length = env->GetArrayLength(data);
    jbyte* bytes = env->GetByteArrayElements(data, nullptr);
    if (bytes == nullptr) {
        return -1;
    }
    ssize_t sent = send(fd, bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
    env->ReleaseByteArrayElements(data, bytes, 0);
    return static_cast<jint>(sent);
}

// The same send with the bytes copied once into a block of our own: no
// buffer the JVM allocates, fills and copies back. Shows what the choice of
// JNI calls costs a write, beside what the calls themselves cost.
JNIEXPORT jint JNICALL Java_com_zelkor_jpos_bench_Baseline_writeRegion(JNIEnv* env, jclass, jint fd,
                                                                       jbyteArray data) {
    char block[kBlockSize];
    jsize length = env->GetArrayLength(data);
    if (length > kBlockSize) {
        return -1;
    }
    env->GetByteArrayRegion(data, 0, length, reinterpret_cast<jbyte*>(block));
    return static_cast<jint>(send(fd, block, static_cast<size_t>(length), MSG_NOSIGNAL));
}

// The least a native read method can do that hands over a new array: one
// receive of at most a block, a new array, one copy.
JNIEXPORT jbyteArray JNICALL Java_com_zelkor_jpos_bench_Baseline_readArray(JNIEnv* env, jclass,
                                                                           jint fd) {
    char block[kBlockSize];
    ssize_t count = recv(fd, block, sizeof block, 0);
    if (count <= 0) {
        return nullptr;
    }
    jbyteArray bytes = env->NewByteArray(static_cast<jsize>(count));
    if (bytes != nullptr) {
        env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(count),
                                reinterpret_cast<const jbyte*>(block));
    }
    return bytes;
}

JNIEXPORT jint JNICALL Java_com_zelkor_jpos_bench_Baseline_openSerial(JNIEnv* env, jclass,
                                                                      jstring path) {
    const char* text = env->GetStringUTFChars(path, nullptr);
    if (text == nullptr) {
        return -1;
    }
    int fd = open(text, O_RDWR | O_NOCTTY | O_NONBLOCK);
    env->ReleaseStringUTFChars(path, text);
    return fd;
}

// The serial twins of writeArray and readArray: what a native write and read
// method must do on a terminal with the library's sequence, and nothing else.
JNIEXPORT jint JNICALL Java_com_zelkor_jpos_bench_Baseline_writeTerminal(JNIEnv* env, jclass,
                                                                         jint fd, jbyteArray data) {
    jsize length = env->GetArrayLength(data);
    jbyte* bytes = env->GetByteArrayElements(data, nullptr);
    if (bytes == nullptr) {
        return -1;
    }
    ssize_t written = write(fd, bytes, static_cast<size_t>(length));
    env->ReleaseByteArrayElements(data, bytes, 0);
    return static_cast<jint>(written);
}

JNIEXPORT jbyteArray JNICALL Java_com_zelkor_jpos_bench_Baseline_readTerminal(JNIEnv* env, jclass,
                                                                              jint fd) {
    char block[kBlockSize];
    if (fd < 0 || fd >= FD_SETSIZE) {
        return nullptr;
    }
    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(fd, &watched);
    struct timeval wait = {kWaitSeconds, 0};
    if (select(fd + 1, &watched, nullptr, nullptr, &wait) <= 0) {
        return nullptr;
    }
    int waiting = 0;
    ioctl(fd, FIONREAD, &waiting);
    if (waiting >= kPauseThreshold) {
        usleep(kPauseMicroseconds);
    }
    ssize_t count = read(fd, block, sizeof block);
    if (count <= 0) {
        return nullptr;
    }
    jbyteArray bytes = env->NewByteArray(static_cast<jsize>(count));
    if (bytes != nullptr) {
        env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(count),
                                reinterpret_cast<const jbyte*>(block));
    }
    return bytes;
}

// count requests of one byte, each answered by replySize bytes, read with the
// library's sequence: select for the first byte, FIONREAD, the pause when 8 or
// more bytes wait, one read of at most a block.
JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_bench_Baseline_serialReplies(JNIEnv*, jclass, jint fd,
                                                                          jint count, jbyte request,
                                                                          jint replySize) {
    char block[kBlockSize];
    fd_set watched;
    if (fd < 0 || fd >= FD_SETSIZE) {
        return -1;
    }
    int64_t start = Now();
    for (jint i = 0; i < count; ++i) {
        char requestByte = static_cast<char>(request);
        if (write(fd, &requestByte, 1) != 1) {
            return -1;
        }
        for (int received = 0; received < replySize;) {
            FD_ZERO(&watched);
            FD_SET(fd, &watched);
            struct timeval wait = {kWaitSeconds, 0};
            if (select(fd + 1, &watched, nullptr, nullptr, &wait) <= 0) {
                return -1;
            }
            int waiting = 0;
            ioctl(fd, FIONREAD, &waiting);
            if (waiting >= kPauseThreshold) {
                usleep(kPauseMicroseconds);
            }
            ssize_t n = read(fd, block, sizeof block);
            if (n <= 0) {
                return -1;
            }
            received += static_cast<int>(n);
        }
    }
    return Now() - start;
}

}  // extern "C"

// SPDX-License-Identifier: Apache-2.0
// The native methods of com.zelkor.jpos.services.LinPortComm and the device
// state they share with the transports. The entry points do no port work:
// they take the Java arguments apart, choose the transport by the port kind
// and trace each step.
#include <cstring>

#include "ZkPosPortComm.h"
#include "ZkPosSo.h"

int m_iFD = -1;
int m_iDeviceType = 0;
long m_lReadTimeout = ZKPOS_DEFAULT_TIMEOUT_SEC;
long m_lWriteTimeout = ZKPOS_DEFAULT_TIMEOUT_SEC;
long m_lReadBufferSize = ZKPOS_DEFAULT_BUFFER_SIZE;
long m_lWriteBufferSize = ZKPOS_DEFAULT_BUFFER_SIZE;

namespace {

const char kLogFileName[] = "/var/log/ZkPosSoLog.txt";
const int kSerial = 1;
const int kEthernet = 2;

// The text of a Java string for the time of one call, or null. A null string
// reads as the empty text (see Text), so that a careless caller gets a failed
// open rather than a crashed VM. A string the VM could not convert leaves its
// exception pending, which no further JNI call may meet and no caller may
// see: it is cleared, and *failed tells the open to fail.
const char* GetText(JNIEnv* env, jstring string, bool* failed) {
    if (string == nullptr || *failed) {
        return nullptr;
    }
    const char* text = env->GetStringUTFChars(string, nullptr);
    if (text == nullptr) {
        env->ExceptionClear();
        *failed = true;
    }
    return text;
}

void ReleaseText(JNIEnv* env, jstring string, const char* text) {
    if (text != nullptr) {
        env->ReleaseStringUTFChars(string, text);
    }
}

const char* Text(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

void AssignDevice(const char* deviceBus) {
    m_iDeviceType = strcmp(Text(deviceBus), "RS232") == 0 ? kSerial : kEthernet;
}

extern "C" {

JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_services_LinPortComm_openDevice(
    JNIEnv* env, jobject, jstring deviceBus, jstring portName, jint baudRate, jboolean debug,
    jint verbosity) {
    // A port left open by an earlier open is forgotten, not closed: callers
    // that open twice keep the first device until the process ends. Calls
    // still waiting on it end now, so they never meet the new port.
    EndPort(false);
    m_iDeviceType = -1;
    int result = 0;

    SetTraceSwitch(debug != JNI_FALSE);
    InitLog(kLogFileName, verbosity, 1);
    Trace("openDevice", 5, "Begin");

    bool unconverted = false;
    const char* busText = GetText(env, deviceBus, &unconverted);
    const char* portText = GetText(env, portName, &unconverted);
    AssignDevice(Text(busText));
    if (unconverted) {
        Trace("openDevice", 1, "Error reading the arguments from Java");
        result = -1;
    } else if (m_iDeviceType == kSerial) {
        result = OpenSerialPort(Text(portText), baudRate);
    } else {
        result = OpenEthernetPort(Text(portText));
    }
    ReleaseText(env, deviceBus, busText);
    ReleaseText(env, portName, portText);

    Trace("openDevice", 3, "m_iDeviceType %d", m_iDeviceType);
    Trace("openDevice", 5, "End");
    return result;
}

JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_services_LinPortComm_closeDevice(JNIEnv*, jobject) {
    Trace("closeDevice", 5, "Begin");
    // A call that waits on the port on another thread ends now, and the
    // descriptor is closed when the last such call has left.
    EndPort(true);
    Trace("closeDevice", 5, "End");
    return ZKPOS_OK;
}

JNIEXPORT jbyteArray JNICALL Java_com_zelkor_jpos_services_LinPortComm_readData(JNIEnv* env,
                                                                                jobject, jlong) {
    int count = -1;
    char block[ZKPOS_READ_BLOCK_SIZE];
    memset(block, 0, sizeof block);
    Trace("readData", 5, "Begin");

    if (m_iDeviceType == kSerial) {
        count = ReadFromSerialPort(block);
    } else if (m_iDeviceType == kEthernet) {
        count = ReadFromEthernetPort(block);
    }
    Trace("readData", 3, "iResult %d", count);

    jbyteArray bytes = nullptr;
    if (count > 0) {
        bytes = env->NewByteArray(count);
        if (bytes == nullptr) {
            // The VM could not make the array; the caller learns it as a read
            // that brought nothing, not as an exception from a native method.
            env->ExceptionClear();
        } else {
            env->SetByteArrayRegion(bytes, 0, count, reinterpret_cast<const jbyte*>(block));
            // Deliberately no "End" line here: the trace of a read that brought
            // data has always ended with its "iResult" line, and log readers
            // may count on that.
            return bytes;
        }
    }
    Trace("readData", 5, "End");
    return nullptr;
}

JNIEXPORT jlong JNICALL Java_com_zelkor_jpos_services_LinPortComm_writeData(JNIEnv* env, jobject,
                                                                            jbyteArray data,
                                                                            jlong) {
    int result = 0;
    Trace("writeData", 5, "Begin");

    jbyte* bytes = nullptr;
    jsize count = 0;
    if (data == nullptr) {
        result = -1;
    } else {
        count = env->GetArrayLength(data);
        bytes = env->GetByteArrayElements(data, nullptr);
        if (bytes == nullptr) {
            env->ExceptionClear();
            result = -1;
        }
    }
    if (bytes != nullptr) {
        unsigned char* sent = reinterpret_cast<unsigned char*>(bytes);
        if (m_iDeviceType == kSerial) {
            result = WriteToSerialPort(sent, count);
        } else if (m_iDeviceType == kEthernet) {
            result = WriteToEthernetPort(sent, count);
        }
    }

    Trace("writeData", 3, "pcbWritten %d", result);
    Trace("writeData", 5, "End");
    if (bytes != nullptr) {
        env->ReleaseByteArrayElements(data, bytes, 0);
    }
    return result;
}

JNIEXPORT void JNICALL Java_com_zelkor_jpos_services_LinPortComm_SetDeviceTimeout(
    JNIEnv*, jobject, jlong writeTimeoutSec, jlong readTimeoutSec) {
    Trace("SetDeviceTimeout", 5, "Begin");
    // A long of 32 bits cannot hold every jlong: a time-out beyond it is the
    // longest one the platform can wait, never a wrapped one.
    m_lReadTimeout = ClampTimeout(readTimeoutSec);
    m_lWriteTimeout = ClampTimeout(writeTimeoutSec);
    // A serial read takes the new time-out at its next call; an open socket
    // carries its time-outs itself and has to be told.
    if (m_iDeviceType == kEthernet) {
        SetEthernetTimeout();
    }
    Trace("SetDeviceTimeout", 5, "End");
}

JNIEXPORT void JNICALL Java_com_zelkor_jpos_services_LinPortComm_SetDeviceBuffer(
    JNIEnv*, jobject, jlong writeBufferSize, jlong readBufferSize) {
    Trace("SetDeviceBuffer", 5, "Begin");
    m_lWriteBufferSize = static_cast<long>(writeBufferSize);
    m_lReadBufferSize = static_cast<long>(readBufferSize);
    Trace("SetDeviceBuffer", 5, "End");
}

}  // extern "C"

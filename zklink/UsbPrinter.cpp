// SPDX-License-Identifier: Apache-2.0
// The USB printer transport: the printer's device interface opened for
// overlapped I/O, so that every read and write can be abandoned when its
// time-out runs out. A short name is looked up among the USB printer
// interfaces that SetupAPI lists.
#include "ZkLinkInternal.h"

#include <setupapi.h>

#include <cstdio>
#include <cstring>

namespace {

// The device interface class of USB printers.
const GUID kUsbPrinterInterface = {
    0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

char m_strUsbName[MAX_PATH] = "";
int m_iWriteMs = ZKLINK_DEFAULT_TIMEOUT_MS;
int m_iReadMs = ZKLINK_DEFAULT_TIMEOUT_MS;
HANDLE m_hPrinter = INVALID_HANDLE_VALUE;
HANDLE m_hEvent = nullptr;

bool IsDevicePath(const char* name) {
    return strncmp(name, "\\\\?\\", 4) == 0 || strncmp(name, "\\\\.\\", 4) == 0;
}

bool ContainsIgnoringCase(const char* text, const char* part) {
    size_t partLength = strlen(part);
    for (const char* at = text; *at != '\0'; ++at) {
        if (_strnicmp(at, part, partLength) == 0) {
            return true;
        }
    }
    return false;
}

// The interface path of the first USB printer whose path holds name.
bool FindPrinter(const char* name, char* path, size_t size) {
    HDEVINFO devices = SetupDiGetClassDevsA(&kUsbPrinterInterface, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool found = false;
    SP_DEVICE_INTERFACE_DATA entry;
    entry.cbSize = sizeof entry;
    for (DWORD index = 0; !found && SetupDiEnumDeviceInterfaces(
                                        devices, nullptr, &kUsbPrinterInterface, index, &entry);
         ++index) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
            char room[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + MAX_PATH];
        } detail;
        detail.detail.cbSize = sizeof detail.detail;
        if (SetupDiGetDeviceInterfaceDetailA(devices, &entry, &detail.detail, sizeof detail,
                                             nullptr, nullptr) &&
            ContainsIgnoringCase(detail.detail.DevicePath, name)) {
            found = snprintf(path, size, "%s", detail.detail.DevicePath) < static_cast<int>(size);
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

// Waits for the pending operation; on time-out it is cancelled and whatever
// it moved before the cancel still counts. False when the device failed.
bool FinishOverlapped(OVERLAPPED* overlapped, DWORD milliseconds, DWORD* moved, DWORD* error) {
    *error = 0;
    if (WaitForSingleObject(m_hEvent, milliseconds) != WAIT_OBJECT_0) {
        CancelIo(m_hPrinter);
    }
    if (GetOverlappedResult(m_hPrinter, overlapped, moved, TRUE)) {
        return true;
    }
    *error = GetLastError();
    return *error == ERROR_OPERATION_ABORTED;
}

int FailOpen(const char* path, const char* step, DWORD error) {
    LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: %s failed: %s", path, step, SystemErrorText(error));
    UsbClose();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? ZKLINK_E_IN_USE
           : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ZKLINK_E_NOT_FOUND
                                                                            : ZKLINK_E_IO;
}

}  // namespace

int UsbInit(const char* name) {
    size_t length = name == nullptr ? 0 : strnlen(name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        LayerLog(ZKLINK_LOG_ERRORS, "InitUsbPrinter: the name must be 1 to %d characters",
                 MAX_PATH - 1);
        return ZKLINK_E_ARGUMENT;
    }
    memcpy(m_strUsbName, name, length + 1);
    LayerLog(ZKLINK_LOG_STEPS, "InitUsbPrinter: %s", m_strUsbName);
    return ZKLINK_OK;
}

int UsbSetTimeouts(int writeMs, int readMs) {
    if (!TimeoutsInRange("SetUsbTimeout", writeMs, readMs)) {
        return ZKLINK_E_ARGUMENT;
    }
    m_iWriteMs = writeMs;
    m_iReadMs = readMs;
    LayerLog(ZKLINK_LOG_STEPS, "SetUsbTimeout: write %d ms, read %d ms", writeMs, readMs);
    return ZKLINK_OK;
}

bool UsbIsSetUp() {
    return m_strUsbName[0] != '\0';
}

int UsbOpen() {
    char path[MAX_PATH];
    if (IsDevicePath(m_strUsbName)) {
        snprintf(path, sizeof path, "%s", m_strUsbName);
    } else if (!FindPrinter(m_strUsbName, path, sizeof path)) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: no USB printer matches the name %s", m_strUsbName);
        return ZKLINK_E_NOT_FOUND;
    }
    m_hPrinter = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (m_hPrinter == INVALID_HANDLE_VALUE) {
        return FailOpen(path, "CreateFile", GetLastError());
    }
    m_hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_hEvent == nullptr) {
        return FailOpen(path, "CreateEvent", GetLastError());
    }
    LayerLog(ZKLINK_LOG_STEPS, "Open: %s open", path);
    return ZKLINK_OK;
}

int UsbWrite(const unsigned char* data, int length) {
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(m_iWriteMs);
    int sent = 0;
    while (sent < length) {
        OVERLAPPED overlapped;
        memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = m_hEvent;
        ResetEvent(m_hEvent);
        DWORD moved = 0;
        DWORD error = 0;
        bool started = WriteFile(m_hPrinter, data + sent, static_cast<DWORD>(length - sent),
                                 nullptr, &overlapped) ||
                       GetLastError() == ERROR_IO_PENDING;
        if (!started) {
            error = GetLastError();
        }
        if (!started ||
            !FinishOverlapped(&overlapped, MillisecondsLeft(deadline), &moved, &error)) {
            LayerLog(ZKLINK_LOG_ERRORS, "Write: %d of %d bytes sent, then: %s", sent, length,
                     SystemErrorText(error));
            return ZKLINK_E_IO;
        }
        sent += static_cast<int>(moved);
        if (sent < length && MillisecondsLeft(deadline) == 0) {
            LayerLog(ZKLINK_LOG_ERRORS, "Write: only %d of %d bytes sent within %d ms", sent,
                     length, m_iWriteMs);
            return ZKLINK_E_TIMEOUT;
        }
    }
    return ZKLINK_OK;
}

// One overlapped read of size bytes, waiting at most milliseconds.
bool ReadOverlapped(unsigned char* buffer, DWORD size, DWORD milliseconds, DWORD* got) {
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = m_hEvent;
    ResetEvent(m_hEvent);
    DWORD error = 0;
    if ((ReadFile(m_hPrinter, buffer, size, nullptr, &overlapped) ||
         GetLastError() == ERROR_IO_PENDING) &&
        FinishOverlapped(&overlapped, milliseconds, got, &error)) {
        return true;
    }
    LayerLog(ZKLINK_LOG_ERRORS, "Read: the printer failed: %s",
             SystemErrorText(error != 0 ? error : GetLastError()));
    return false;
}

// A printer driver ends a read with the bytes that came. A printer behind a
// serial-class driver (a virtual COM port) may hold the read until the buffer
// is full, so there the read waits for one byte and then takes exactly what
// the driver holds beside it.
int UsbRead(unsigned char* buffer, int capacity, int* count) {
    DWORD errors = 0;
    COMSTAT status;
    bool serialClass = ClearCommError(m_hPrinter, &errors, &status) != 0;
    DWORD room = static_cast<DWORD>(capacity);
    DWORD got = 0;
    if (!ReadOverlapped(buffer, serialClass ? 1 : room, static_cast<DWORD>(m_iReadMs), &got)) {
        return ZKLINK_E_IO;
    }
    DWORD more = 0;
    if (serialClass && got == 1 && room > 1 && ClearCommError(m_hPrinter, &errors, &status) &&
        status.cbInQue > 0 &&
        !ReadOverlapped(buffer + 1, status.cbInQue < room - 1 ? status.cbInQue : room - 1,
                        static_cast<DWORD>(m_iReadMs), &more)) {
        return ZKLINK_E_IO;
    }
    *count = static_cast<int>(got + more);
    return ZKLINK_OK;
}

void UsbClose() {
    if (m_hPrinter != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hPrinter);
        m_hPrinter = INVALID_HANDLE_VALUE;
    }
    if (m_hEvent != nullptr) {
        CloseHandle(m_hEvent);
        m_hEvent = nullptr;
    }
}

void UsbForget() {
    UsbClose();
    m_strUsbName[0] = '\0';
    m_iWriteMs = ZKLINK_DEFAULT_TIMEOUT_MS;
    m_iReadMs = ZKLINK_DEFAULT_TIMEOUT_MS;
}

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

// The settings of a port; UsbForget gives a new port its defaults.
char m_strUsbName[MAX_PATH];
// Set by the time-out entry while a Read or Write may be reading them.
volatile LONG m_iWriteMs;
volatile LONG m_iReadMs;
ScopedFile m_printer;

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

int FailOpen(const char* path, const char* step, DWORD error) {
    LayerLog(ZKLINK_LOG_ERRORS, "Open: %s: %s failed: %s", path, step, SystemErrorText(error));
    m_printer.Reset(INVALID_HANDLE_VALUE);
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? ZKLINK_E_IN_USE
           : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ZKLINK_E_NOT_FOUND
                                                                            : ZKLINK_E_IO;
}

DWORD TimeoutOf(volatile LONG* milliseconds) {
    return static_cast<DWORD>(InterlockedCompareExchange(milliseconds, 0, 0));
}

// A printer, or a serial-class device behind a printer's name, is a
// character device. A path that names a file, a disk or a volume would be
// overwritten from its start by every Write, and a pipe may be another
// program's: refused before anything is written.
int RefuseNonDevice(const char* path) {
    DWORD type = GetFileType(m_printer.Get());
    if (type == FILE_TYPE_CHAR) {
        return ZKLINK_OK;
    }
    LayerLog(ZKLINK_LOG_ERRORS, "Open: %s is not a device but a %s; refused", path,
             type == FILE_TYPE_DISK   ? "file or disk"
             : type == FILE_TYPE_PIPE ? "pipe"
                                      : "handle of unknown type");
    m_printer.Reset(INVALID_HANDLE_VALUE);
    return ZKLINK_E_NOT_A_DEVICE;
}

// One overlapped transfer of the printer's; false after logging why when the
// printer failed it or the port is closing (result then holds the answer).
bool PrinterTransfer(const char* entry, bool write, void* buffer, DWORD size, DWORD milliseconds,
                     DWORD* moved, int* result) {
    Transfer transfer;
    bool ok = TransferOverlapped(m_printer.Get(), write, buffer, size, milliseconds,
                                 PortStopEvent(), &transfer);
    *moved = transfer.moved;
    if (ok && transfer.stopped) {
        *result = RefuseStopped(entry);
        return false;
    }
    if (!ok) {
        LayerLog(ZKLINK_LOG_ERRORS, "%s: the printer failed: %s", entry,
                 SystemErrorText(transfer.error));
        *result = ZKLINK_E_IO;
        return false;
    }
    return true;
}

bool UsbIsSetUp() {
    return m_strUsbName[0] != '\0';
}

int UsbOpen();
int UsbWrite(const unsigned char* data, int length);
int UsbRead(unsigned char* buffer, int capacity, int* count);
void UsbClose();
void UsbForget();

}  // namespace

const TransportOps kUsbTransport = {"USB",   UsbIsSetUp, UsbOpen,  UsbWrite,
                                    UsbRead, nullptr,    UsbClose, UsbForget};

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
    InterlockedExchange(&m_iWriteMs, writeMs);
    InterlockedExchange(&m_iReadMs, readMs);
    LayerLog(ZKLINK_LOG_STEPS, "SetUsbTimeout: write %d ms, read %d ms", writeMs, readMs);
    return ZKLINK_OK;
}

namespace {

int UsbOpen() {
    char path[MAX_PATH];
    if (IsDevicePath(m_strUsbName)) {
        snprintf(path, sizeof path, "%s", m_strUsbName);
    } else if (!FindPrinter(m_strUsbName, path, sizeof path)) {
        LayerLog(ZKLINK_LOG_ERRORS, "Open: no USB printer matches the name %s", m_strUsbName);
        return ZKLINK_E_NOT_FOUND;
    }
    m_printer.Reset(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!m_printer.IsValid()) {
        return FailOpen(path, "CreateFile", GetLastError());
    }
    int result = RefuseNonDevice(path);
    if (result != ZKLINK_OK) {
        return result;
    }
    LayerLog(ZKLINK_LOG_STEPS, "Open: %s open", path);
    return ZKLINK_OK;
}

int UsbWrite(const unsigned char* data, int length) {
    DWORD writeMs = TimeoutOf(&m_iWriteMs);
    ULONGLONG deadline = GetTickCount64() + writeMs;
    int sent = 0;
    while (sent < length) {
        DWORD moved = 0;
        int result = ZKLINK_OK;
        if (!PrinterTransfer("Write", true, const_cast<unsigned char*>(data) + sent,
                             static_cast<DWORD>(length - sent), MillisecondsLeft(deadline), &moved,
                             &result)) {
            if (result == ZKLINK_E_IO) {
                LayerLog(ZKLINK_LOG_ERRORS, "Write: %d of %d bytes sent",
                         sent + static_cast<int>(moved), length);
            }
            return result;
        }
        sent += static_cast<int>(moved);
        if (sent < length && MillisecondsLeft(deadline) == 0) {
            LayerLog(ZKLINK_LOG_ERRORS, "Write: only %d of %d bytes sent within %lu ms", sent,
                     length, static_cast<unsigned long>(writeMs));
            return ZKLINK_E_TIMEOUT;
        }
    }
    return ZKLINK_OK;
}

// A printer driver ends a read with the bytes that came. A printer behind a
// serial-class driver (a virtual COM port) may hold the read until the buffer
// is full, so there the read waits for one byte and then takes exactly what
// the driver holds beside it.
int UsbRead(unsigned char* buffer, int capacity, int* count) {
    DWORD errors = 0;
    COMSTAT status;
    bool serialClass = ClearCommError(m_printer.Get(), &errors, &status) != 0;
    DWORD room = static_cast<DWORD>(capacity);
    DWORD readMs = TimeoutOf(&m_iReadMs);
    DWORD got = 0;
    int result = ZKLINK_OK;
    if (!PrinterTransfer("Read", false, buffer, serialClass ? 1 : room, readMs, &got, &result)) {
        return result;
    }
    DWORD more = 0;
    if (serialClass && got == 1 && room > 1 && ClearCommError(m_printer.Get(), &errors, &status) &&
        status.cbInQue > 0 &&
        !PrinterTransfer("Read", false, buffer + 1,
                         status.cbInQue < room - 1 ? status.cbInQue : room - 1, readMs, &more,
                         &result)) {
        return result;
    }
    *count = static_cast<int>(got + more);
    return ZKLINK_OK;
}

void UsbClose() {
    m_printer.Reset(INVALID_HANDLE_VALUE);
}

void UsbForget() {
    UsbClose();
    m_strUsbName[0] = '\0';
    m_iWriteMs = ZKLINK_DEFAULT_TIMEOUT_MS;
    m_iReadMs = ZKLINK_DEFAULT_TIMEOUT_MS;
}

}  // namespace

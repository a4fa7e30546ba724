// SPDX-License-Identifier: Apache-2.0
// One overlapped transfer, waited for on an event of its own. A reader and a
// writer on the same handle each have theirs, so the end of one never wakes
// the other, and nothing returns while the system may still fill or read the
// caller's buffer.
#include <cstring>

#include "ZkLinkInternal.h"

bool TransferOverlapped(HANDLE file, bool write, void* buffer, DWORD size, DWORD milliseconds,
                        HANDLE stop, Transfer* transfer) {
    *transfer = Transfer();
    if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
        transfer->stopped = true;
        return true;
    }
    ScopedObject done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!done.IsValid()) {
        transfer->error = GetLastError();
        return false;
    }
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = done.Get();
    BOOL started = write ? WriteFile(file, buffer, size, nullptr, &overlapped)
                         : ReadFile(file, buffer, size, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        transfer->error = GetLastError();
        return false;
    }
    HANDLE events[2] = {done.Get(), stop};
    DWORD woken = WaitForMultipleObjects(2, events, FALSE, milliseconds);
    if (woken != WAIT_OBJECT_0) {
        transfer->stopped = woken == WAIT_OBJECT_0 + 1;
        // Not found: it completed meanwhile. Either way the wait below ends
        // only when the system is done with buffer and overlapped.
        CancelIoEx(file, &overlapped);
    }
    DWORD moved = 0;
    if (GetOverlappedResult(file, &overlapped, &moved, TRUE)) {
        transfer->moved = moved;
        return true;
    }
    transfer->error = GetLastError();
    transfer->moved = moved;
    return transfer->error == ERROR_OPERATION_ABORTED;
}

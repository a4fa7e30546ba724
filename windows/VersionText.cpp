// SPDX-License-Identifier: Apache-2.0
// The DLL's own version text, as the open traces it: the low 8 bits of the
// second and of the fourth number of the file version in its version resource.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ZkPosDll.h"

// The start of our own image: its address is the module handle of the DLL, so
// the version is read from this file and not from the host program's.
extern "C" IMAGE_DOS_HEADER __ImageBase;

void GetDllVersion(char* destination) {
    destination[0] = '\0';
    char modulePath[ZKPOS_PATH_SIZE] = "";
    HMODULE self = reinterpret_cast<HMODULE>(&__ImageBase);
    if (GetModuleFileNameA(self, modulePath, sizeof modulePath) == 0) {
        return;
    }
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(modulePath, &handle);
    if (size == 0) {
        return;
    }
    void* block = malloc(size);
    if (block == nullptr) {
        return;
    }
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (GetFileVersionInfoA(modulePath, 0, size, block) &&
        VerQueryValueA(block, "\\", reinterpret_cast<void**>(&info), &infoSize) &&
        infoSize >= sizeof(VS_FIXEDFILEINFO)) {
        char text[ZKPOS_VERSION_TEXT_SIZE] = "";
        snprintf(text, sizeof text, "%0d.%02d", LOWORD(info->dwFileVersionMS) & 0xFF,
                 LOWORD(info->dwFileVersionLS) & 0xFF);
        memcpy(destination, text, sizeof text);
    }
    free(block);
}

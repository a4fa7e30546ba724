// SPDX-License-Identifier: Apache-2.0
// The two helpers every traced function of the library goes through.
#include <stdarg.h>
#include <string.h>

#include "ZkPosSo.h"

void Trace(const char* function, int level, const char* format, ...) {
    // The same test PrintLog makes, taken early so that a rejected line costs
    // no formatting either.
    if (!m_bDebug || (level >= 1 && level <= 5 && level > m_iVerbosity)) {
        return;
    }
    char text[ZKPOS_TRACE_TEXT_SIZE];
    memset(text, 0, sizeof text);
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    PrintLog("ZkPosSo", function, text, level);
}

size_t ShowBytes(char* text, size_t size, const void* data, size_t length) {
    if (size == 0) {
        return 0;
    }
    size_t shown = length < size - 1 ? length : size - 1;
    if (data == nullptr) {
        shown = 0;
    } else {
        const void* zero = memchr(data, 0, shown);
        if (zero != nullptr) {
            shown = static_cast<size_t>(static_cast<const char*>(zero) -
                                        static_cast<const char*>(data));
        }
        memcpy(text, data, shown);
    }
    text[shown] = '\0';
    return shown;
}

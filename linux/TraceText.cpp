// SPDX-License-Identifier: Apache-2.0
// The helpers every traced function of the library goes through.
#include <cstdarg>
#include <cstring>

#include "ZkPosSo.h"

namespace {

// The same test PrintLog makes, taken early so that a rejected line costs no
// formatting either. It reads the switches without the trace log's lock:
// PrintLog tests them again under it.
bool TraceWanted(int level) {
    return TraceSwitchOn() && !(level >= 1 && level <= 5 && level > TraceVerbosity());
}

// Level of the lines that show the data sent and received.
const int kDataLevel = 2;

// Formats one line and hands it to the trace log. Without data the formatted
// text is the line; with data the line is head, data, formatted tail, and the
// data gives way: head and tail stay whole, the data shown takes the room that
// is left between them.
void TraceLine(const char* function, int level, const char* head, const void* data, int length,
               const char* format, va_list arguments) {
    if (!TraceWanted(level)) {
        return;
    }
    char tail[ZKPOS_SO_TRACE_TEXT_SIZE];
    memset(tail, 0, sizeof tail);
    vsnprintf(tail, sizeof tail, format, arguments);
    if (head == nullptr) {
        PrintLog("ZkPosSo", function, tail, level);
        return;
    }

    char text[ZKPOS_SO_TRACE_TEXT_SIZE];
    memset(text, 0, sizeof text);
    size_t headLength = strnlen(head, sizeof text - 1);
    size_t tailLength = strlen(tail);
    if (tailLength > sizeof text - 1 - headLength) {
        tailLength = sizeof text - 1 - headLength;
    }
    memcpy(text, head, headLength);
    size_t room = sizeof text - headLength - tailLength;
    size_t shown =
        ShowBytes(text + headLength, room, data, length > 0 ? static_cast<size_t>(length) : 0);
    memcpy(text + headLength + shown, tail, tailLength);
    text[headLength + shown + tailLength] = '\0';
    PrintLog("ZkPosSo", function, text, level);
}

}  // namespace

void Trace(const char* function, int level, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    TraceLine(function, level, nullptr, nullptr, 0, format, arguments);
    va_end(arguments);
}

void TraceData(const char* function, const char* head, const void* data, int length,
               const char* tailFormat, ...) {
    va_list arguments;
    va_start(arguments, tailFormat);
    TraceLine(function, kDataLevel, head, data, length, tailFormat, arguments);
    va_end(arguments);
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

#include "serial/port_write.h"

#include <cstdarg>
#include <cstdio>

#include "session/terminal.h"

namespace dl {

uint32_t lineErrorBits(const LineCounters& before, const LineCounters& now) {
    uint32_t bits = 0;
    for (size_t i = 0; i < now.size(); ++i) {
        if (now[i] != before[i]) bits |= 1u << i;
    }
    return bits;
}

void writeErrorMark(PortSession& s, uint32_t value) {
    char text[24];
    int n = std::snprintf(text, sizeof text, "<CE-%X>", value);
    terminalWrite(s, reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(n));
}

void reportLineErrors(PortSession& s) {
    uint32_t bits = takeLineErrors(s);
    if (bits != 0 && s.displayErrors.load()) writeErrorMark(s, bits);
}

int portWrite(WindowId window, const uint8_t* bytes, size_t count) {
    PortSession* s = sessionOf(window);
    return s ? portWrite(*s, bytes, count) : 0;
}

int typeChar(WindowId window, uint8_t ch) {
    PortSession* s = sessionOf(window);
    if (!s || !s->connected.load()) return 0;
    portWrite(*s, &ch, 1);
    if (s->localEcho.load()) terminalWrite(*s, &ch, 1);
    return 1;
}

int portPrintf(PortSession& s, const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return 0;
    size_t len = static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
    return portWrite(s, reinterpret_cast<const uint8_t*>(buffer), len);
}

int portPutByte(PortSession& s, int value) {
    const uint8_t b = static_cast<uint8_t>(value & 0xFF);
    return portWrite(s, &b, 1);
}

}  // namespace dl

// The Win32 backend of serial/port_write.h: overlapped writes that wait for their deadline beside the
// session's write wake, and ClearCommError's error bits as the line errors. A mark's value is the
// Win32 error code here (ERROR_TIMEOUT for a write the line did not take in time, ERROR_OPERATION_ABORTED
// for one a disconnect cut short).
#include <windows.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <utility>
#include <chrono>

#include "serial/port.h"
#include "serial/port_write.h"

namespace dl {

namespace {

using Clock = std::chrono::steady_clock;

HANDLE portOf(const PortSession& s) {
    return static_cast<HANDLE>(s.port.handle());
}

// ClearCommError's CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME and CE_BREAK are the error marks' own
// bits (0x1 overflow, 0x2 overrun, 0x4 parity, 0x8 framing, 0x10 break).
constexpr DWORD kLineErrorBits = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK;
static_assert(CE_RXOVER == 0x1 && CE_OVERRUN == 0x2 && CE_RXPARITY == 0x4 && CE_FRAME == 0x8 &&
              CE_BREAK == 0x10);

// Carries out one overlapped write to its end, the deadline or a disconnect. 0 when it completed, else
// the Win32 error; `done` holds the bytes written. `pending` says whether it had to wait.
DWORD writeOnce(PortSession& s, const uint8_t* bytes, DWORD count, Clock::time_point deadline, DWORD& done,
                bool& pending) {
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return ::GetLastError();
    const HANDLE h = portOf(s);
    DWORD result = 0;
    done = 0;
    pending = false;
    if (!::WriteFile(h, bytes, count, nullptr, &ov)) {
        result = ::GetLastError();
        if (result == ERROR_IO_PENDING) {
            pending = true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const HANDLE waits[2] = {ov.hEvent, static_cast<HANDLE>(s.writeWake.handle())};
            const DWORD w = ::WaitForMultipleObjects(s.writeWake ? 2 : 1, waits, FALSE,
                                                     static_cast<DWORD>(std::max<int64_t>(left.count(), 0)));
            if (w == WAIT_OBJECT_0) {
                result = ::GetOverlappedResult(h, &ov, &done, FALSE) ? 0 : ::GetLastError();
            } else {
                // The rest is abandoned; the write must be over before its buffer and event go.
                ::CancelIoEx(h, &ov);
                ::GetOverlappedResult(h, &ov, &done, TRUE);
                result = w == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED;
            }
        }
    } else {
        ::GetOverlappedResult(h, &ov, &done, FALSE);
    }
    ::CloseHandle(ov.hEvent);
    return result;
}

// Errors ClearCommError handed over while the output queue was asked for, kept for the next
// takeLineErrors of the session (under its errorMutex).
std::array<uint32_t, kSessionSlots> heldErrors{};

uint32_t& heldErrorsOf(const PortSession& s) {
    return heldErrors[static_cast<size_t>(&s - sessionTable.data()) % kSessionSlots];
}

}  // namespace

uint32_t takeLineErrors(PortSession& s) {
    if (!s.port) return 0;
    std::lock_guard lock(s.errorMutex);
    DWORD errors = 0;
    const BOOL ok = ::ClearCommError(portOf(s), &errors, nullptr);
    const uint32_t held = std::exchange(heldErrorsOf(s), 0);
    return ok ? held | (errors & kLineErrorBits) : held;
}

bool outputQueueTold(const PortSession&) {
    return true;  // a COM port's driver always says what waits
}

int outputQueueBytes(PortSession& s) {
    if (!s.port) return 0;
    COMSTAT st{};
    DWORD errors = 0;
    std::lock_guard lock(s.errorMutex);
    if (!::ClearCommError(portOf(s), &errors, &st)) return 0;
    // The errors this took would be lost to the marks: they are kept for the next look.
    heldErrorsOf(s) |= errors & kLineErrorBits;
    return static_cast<int>(st.cbOutQue);
}

bool waitLineTime(PortSession& s, size_t bytes) {
    const uint32_t rate = s.baudRate.load();
    const uint32_t baud = rate ? rate : kDefaultBaud;
    // Ten bits a byte; Win32 waits in whole milliseconds, so never less than one (a wait of 0 would
    // make the sender spin).
    const uint64_t ms = std::max<uint64_t>(1, (bytes * 10ull * 1000ull + baud - 1) / baud);
    if (!s.writeWake) {
        ::Sleep(static_cast<DWORD>(ms));
        return true;
    }
    return ::WaitForSingleObject(static_cast<HANDLE>(s.writeWake.handle()), static_cast<DWORD>(ms)) !=
           WAIT_OBJECT_0;
}

int portWrite(PortSession& s, const uint8_t* bytes, size_t count) {
    std::lock_guard lock(s.writeMutex);
    if (!s.port) return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs(s.baudRate.load(), count));
    size_t done = 0;
    bool waited = false;
    while (done < count) {
        DWORD n = 0;
        bool pending = false;
        const DWORD e = writeOnce(s, bytes + done, static_cast<DWORD>(count - done), deadline, n, pending);
        waited = waited || pending;
        done += n;
        if (e == 0 && n > 0) continue;
        if (e == 0) {  // the line took nothing and said nothing: the deadline decides
            if (Clock::now() >= deadline) {
                writeErrorMark(s, ERROR_TIMEOUT);
                reportLineErrors(s);
                return 1;
            }
            waited = true;
            ::Sleep(1);
            continue;
        }
        if (!waited) {  // failed at once
            reportLineErrors(s);
            return 0;
        }
        // Cut short by the deadline, a disconnect or the line: the rest is lost, and the mark says so
        // rather than letting a short write pass for a whole one.
        writeErrorMark(s, e);
        reportLineErrors(s);
        return 1;
    }
    return 1;
}

}  // namespace dl

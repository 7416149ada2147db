// The Win32 backend of serial/reader.h. The reader waits for the line with an overlapped read of one
// byte beside the session's read wake, so a disconnect ends the wait at once; then it takes what
// ClearCommError says waits (a read that completes at once, the bytes being there) and routes the
// whole as one read. A read that fails (ERROR_BROKEN_PIPE when the far side hangs up, the errors of a
// USB adapter that was pulled) ends the reader with an error mark and a posted cmdLineLost.
#include <windows.h>

#include <algorithm>

#include "base/commands.h"
#include "serial/line_backend.h"
#include "serial/port_write.h"
#include "serial/reader.h"

namespace dl {

namespace {

HANDLE portOf(const PortSession& s) {
    return static_cast<HANDLE>(s.port.handle());
}

HANDLE wakeOf(const PortSession& s) {
    return static_cast<HANDLE>(s.readWake.handle());
}

// An event for the reader's overlapped reads, closed with the reader.
struct ReadEvent {
    ReadEvent() : h(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~ReadEvent() {
        if (h) ::CloseHandle(h);
    }
    HANDLE h;
};
thread_local HANDLE readEvent = nullptr;  // the calling reader's, for readWaiting

enum class Waited { data, woken, failed };

// Reads `count` bytes with an overlapped read that ends when they are there, when the session's wake is
// set (the read is then cancelled) or when the line fails (`error` holds why).
Waited overlappedRead(PortSession& s, HANDLE event, uint8_t* buffer, DWORD count, DWORD& got, DWORD& error) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    ::ResetEvent(event);
    const HANDLE h = portOf(s);
    got = 0;
    error = 0;
    if (!::ReadFile(h, buffer, count, nullptr, &ov)) {
        error = ::GetLastError();
        if (error != ERROR_IO_PENDING) return Waited::failed;
        const HANDLE waits[2] = {event, wakeOf(s)};
        const DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0) {
            // The read must be over before its buffer goes; what it took is given up with the line.
            ::CancelIoEx(h, &ov);
            ::GetOverlappedResult(h, &ov, &got, TRUE);
            got = 0;
            if (w == WAIT_OBJECT_0 + 1) return Waited::woken;
            error = ::GetLastError();
            return Waited::failed;
        }
    }
    if (!::GetOverlappedResult(h, &ov, &got, TRUE)) {
        error = ::GetLastError();
        return Waited::failed;
    }
    error = 0;
    return Waited::data;
}

void lineFailed(PortSession& s, DWORD error) {
    writeErrorMark(s, error);
    reportLineErrors(s);
}

// The bytes that wait in the driver now (0 when it cannot say).
DWORD waitingBytes(PortSession& s) {
    COMSTAT st{};
    DWORD errors = 0;
    return ::ClearCommError(portOf(s), &errors, &st) ? st.cbInQue : 0;
}

}  // namespace

size_t readWaiting(PortSession& s, uint8_t* buffer, size_t capacity, ReadStatus& status) {
    status = ReadStatus::empty;
    (void)takeLineErrors(s);  // taken and cleared here; shown only when a read fails
    const DWORD want = static_cast<DWORD>(std::min<size_t>(waitingBytes(s), capacity));
    if (want == 0) return 0;
    ReadEvent own;
    HANDLE event = readEvent ? readEvent : own.h;
    DWORD got = 0, error = 0;
    switch (overlappedRead(s, event, buffer, want, got, error)) {
        case Waited::data:
            status = got > 0 ? ReadStatus::data : ReadStatus::empty;
            return got;
        case Waited::woken:
            return 0;
        case Waited::failed:
            break;
    }
    lineFailed(s, error);
    status = ReadStatus::lost;
    return 0;
}

int readerMain(PortSession& s) {
    const WindowId window = s.window.load();
    ReadEvent event;
    readEvent = event.h;
    bool lost = !event.h;
    if (lost) writeErrorMark(s, ::GetLastError());  // a reader that cannot wait is a lost line
    uint8_t buffer[kReadChunk];
    while (!lost && s.connected.load() && s.readerRun.load()) {
        DWORD got = 0, error = 0;
        const Waited w = overlappedRead(s, event.h, buffer, 1, got, error);
        if (w == Waited::woken) {
            if (s.readerRun.load()) ::ResetEvent(wakeOf(s));  // a writer's wake of the session, not ours
            continue;
        }
        if (w == Waited::failed) {
            if (!s.readerRun.load()) break;
            lineFailed(s, error);
            lost = true;
            break;
        }
        if (got == 0) continue;
        markLineWaiting(std::chrono::steady_clock::now());
        ReadStatus st;
        const size_t more = readWaiting(s, buffer + 1, sizeof buffer - 1, st);
        if (st == ReadStatus::lost) {
            lost = true;
            break;
        }
        routeAndShow(s, buffer, 1 + more);
        hostUpdateNow(window);
        size_t total = 1 + more;
        // A read that filled the buffer left more: taken a read at a time, as the POSIX reader drains.
        if (1 + more == sizeof buffer && s.readerRun.load() && !drain(s, total)) {
            lost = true;
            break;
        }
        if (consoleOnly(s) && s.readerRun.load())
            (void)::WaitForSingleObject(wakeOf(s), static_cast<DWORD>(consoleGatherMs(total)));
    }
    readEvent = nullptr;
    if (lost) {
        s.readerRun = 0;
        hostPostCommand(window, cmdLineLost, 0);
    }
    s.readerThreadId = 0;
    return 1;
}

}  // namespace dl

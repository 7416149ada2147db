// The owner of a session's port and wake-up objects, whatever the platform calls them: a descriptor
// on POSIX (UniqueFd), a HANDLE on Windows. Only serial/ and the session's creation look inside; the
// rest of the core passes a LineHandle along, tests it for validity and resets it.
#pragma once

#include <cstdint>
#include <utility>

#ifndef _WIN32
#include "base/unique_fd.h"
#endif

namespace dl {

#ifdef _WIN32
// A HANDLE held as an integer, so that no header of the core needs <windows.h>. Both of the values
// Win32 uses for "no handle" (NULL from CreateEvent, INVALID_HANDLE_VALUE from CreateFile) count as
// empty.
using NativeHandle = intptr_t;
void closeNativeHandle(NativeHandle h);  // CloseHandle

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(NativeHandle h) : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, 0)) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(std::exchange(o.h_, 0));
        return *this;
    }
    ~UniqueHandle() { reset(); }

    NativeHandle get() const { return h_; }
    // The HANDLE itself, for a Win32 call.
    void* handle() const { return reinterpret_cast<void*>(h_); }
    bool valid() const { return h_ != 0 && h_ != -1; }
    explicit operator bool() const { return valid(); }
    void reset(NativeHandle h = 0) {
        if (valid()) closeNativeHandle(h_);
        h_ = h;
    }

private:
    NativeHandle h_ = 0;
};
using LineHandle = UniqueHandle;
#else
using NativeHandle = int;
using LineHandle = UniqueFd;
#endif

}  // namespace dl

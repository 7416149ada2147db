// The process-wide record of the data exchanges: the token collector, the escape-frame detector's
// values, the sizes and counts, the running checksum and the buffer that holds received data.
//
// Only one transfer runs in the whole application, so there is one record, `transfer`; the machines
// take it by reference so that tests and fuzzers can run on their own. The reader thread owns the
// record while a machine runs. The stream thread of a data send writes the checksum and the count
// while the main thread reads them for the result box, hence the atomics; the sizes and the count of
// received bytes are read by the main thread after a transfer, so they are atomics too.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "protocol/wire.h"

namespace dl {

// The states of the data-send machine: transferState while protocolMode is modeDataSend.
namespace SendState {
enum : int32_t {
    idle = 0,
    answered = 1,          // the box's answer frame came: identify with "h:vexon"
    awaitSizeRequest = 2,  // "s:send size": answer with the size
    awaitDataRequest = 3,  // "s:send data": the stream starts
    streaming = 4,         // the stream thread sends the file; the machine does not run
    awaitSumRequest = 5,   // "s:send sum": answer with the checksum
    awaitDone = 6,         // "s:done!": the send is complete
};
}

// The states of the data-receive machine: transferState while protocolMode is modeDataReceive.
namespace ReceiveState {
enum : int32_t {
    idle = 0,
    requested = 1,            // the box's request frame came: answer it
    awaitIdentification = 2,  // "h:vexon"
    awaitSize = 3,            // the 8-character size field
    awaitDataStart = 4,       // a line end or an accepted byte starts the data
    dataPhase = 5,            // data blocks until the announced size
    awaitChecksum = 6,        // the 8-character checksum field
};
}

inline constexpr size_t kEscapeCapacity = 32;
inline constexpr size_t kReceiveCapacity = 262144;
// Every byte of an escape frame must arrive within this many milliseconds of its ESC.
inline constexpr uint32_t kFrameWindowMs = 2000;

// Takes its memory zeroed from the system (a block this large is mapped afresh, its pages untouched
// until written) and leaves default-made elements as they come: the buffer an upload may fill then costs
// a program that never receives nothing at start-up, where writing it whole faulted in 64 pages.
template <class T>
struct ZeroPagesAllocator {
    using value_type = T;
    ZeroPagesAllocator() = default;
    template <class U>
    ZeroPagesAllocator(const ZeroPagesAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (void* p = std::calloc(n, sizeof(T))) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, size_t) noexcept { std::free(p); }
    template <class U>
    void construct(U*) noexcept {}  // calloc's zero stands
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(const ZeroPagesAllocator&, const ZeroPagesAllocator&) = default;
};

struct TransferRecord {
    TokenCollector token;
    std::atomic<uint32_t> runningChecksum{0};
    std::atomic<uint32_t> transferCount{0};  // data bytes sent in the current send

    int32_t inEscape = 0;      // a frame is being collected since the last ESC
    uint32_t escapeTick = 0;   // tick of that ESC
    int32_t escapeLength = 0;  // bytes collected since it, never more than kEscapeCapacity
    std::array<uint8_t, kEscapeCapacity> escapeBuffer{};

    std::atomic<uint32_t> sendSize{0};       // announced to the box; the stream measures against it
    std::atomic<int32_t> announcedSize{0};   // given by the box; compared as unsigned
    std::atomic<uint32_t> receivedCount{0};  // bytes of receiveBuffer that hold received data
    std::vector<uint8_t, ZeroPagesAllocator<uint8_t>> receiveBuffer =
        std::vector<uint8_t, ZeroPagesAllocator<uint8_t>>(kReceiveCapacity);
};

extern TransferRecord transfer;

// Back to the state of a fresh process: no frame open, nothing collected, counts and sizes 0.
void resetTransfer(TransferRecord& t);

// Feeds one byte to the collector by its rules (CR/LF reset, other controls ignored, at most 80 kept)
// without awaiting a token. True when the byte was stored.
bool collectAny(TokenCollector& c, uint8_t byte);

}  // namespace dl

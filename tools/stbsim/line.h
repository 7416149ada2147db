// The box's end of the serial line: a pseudo-terminal whose slave device the PC opens as its port.
//
// The master is non-blocking, and every wait is one ppoll() on the master, an inotify watch on the slave
// device (the only way to learn that a client opened it: a master reports nothing until the first client has
// come and gone) and a signalfd for SIGTERM/SIGINT. Nothing spins; a stop signal ends any wait by throwing.
//
// The slave is put into raw mode through the master before anyone opens it, so that even a client that does
// no termios of its own gets an 8-bit clean line. The setting lives as long as the master does.
//
// Pacing. With a baud rate set, a byte occupies 10 bit times in each direction. Sending waits until the line
// has finished the previous piece; receiving takes bytes from the pty no faster than they would arrive, so a
// PC that writes faster sees its writes back up as on a real UART. Data is moved in slices of about 2 ms.
//
// Split writes. A real UART and its driver hand the PC whatever has arrived when the PC's reader wakes, so
// one item the box sends may reach the PC over several reads. With splitting on, every send is cut into
// pieces of random length with short random pauses between them, all drawn from one seed, so a run that
// shows a fault can be repeated with the same cuts.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace stbsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Bytes = std::vector<uint8_t>;

inline constexpr TimePoint kForever = TimePoint::max();

struct ClientGone {};     // the PC closed its end of the line
struct StopRequested {};  // SIGTERM or SIGINT arrived

class Line {
public:
    explicit Line(unsigned baud);  // throws std::system_error when no pty can be made
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    const std::string& devicePath() const { return path_; }

    // Returns once a client has the device open. Without inotify the client is assumed present at once.
    void awaitClient();

    // Sends the bytes in one write (so a token is never split between two reads of the PC), then counts the
    // line busy for their transmission time. With splitting on, in pieces instead.
    void send(std::span<const uint8_t> bytes);
    void send(std::string_view text);
    // Sends a stream of data slice by slice at the line rate.
    void sendStream(std::span<const uint8_t> data);

    // Take received bytes; both return nothing / 0 when `until` passes first. Throw ClientGone on hang-up.
    std::optional<uint8_t> readByte(TimePoint until);
    size_t read(std::span<uint8_t> out, TimePoint until);
    // Bytes that have already arrived, taken without waiting and without pacing.
    Bytes takeArrived();

    void sleepUntil(TimePoint until);
    void sleepFor(std::chrono::milliseconds span) { sleepUntil(Clock::now() + span); }

    // Waits (at most until `until`) for the client to read everything sent so far. Closing a pty master
    // discards what the slave has not read yet, where a real UART would have delivered it.
    void drain(TimePoint until);
    // Closes the master: the PC's port sees the far side hang up.
    void hangUp();
    // Forgets buffered input and pacing state, for a new client.
    void resetForNewClient();
    // From now on every send goes out in pieces of 1 to 64 bytes, a random 0 to 3 ms apart, drawn from
    // `seed`. Short pieces are favoured, so that tokens are cut at every point, single bytes included.
    void splitWrites(uint32_t seed);
    // The Nth byte the box sends from now on (counted from 1, across clients) is lost on the way, or
    // arrives with its low bit flipped, as line noise would do; 0 leaves the line clean.
    void spoilByte(uint64_t dropAt, uint64_t flipAt);

private:
    short waitFor(short masterEvents, TimePoint until, bool watchMaster = true);
    bool fill(TimePoint until);
    void writeAll(std::span<const uint8_t> bytes);
    void sendPiece(std::span<const uint8_t> bytes);
    bool clientOpenedSinceLastCheck();
    bool clientPresent();
    std::optional<int> unreadByClient();
    Clock::duration lineTime(size_t bytes) const;
    TimePoint nextFree(TimePoint free, size_t bytes) const;

    int master_ = -1;
    int watch_ = -1;   // inotify on the slave device, -1 when unavailable
    int signal_ = -1;  // signalfd for SIGTERM and SIGINT
    std::string path_;
    unsigned baud_ = 0;
    size_t slice_ = 0;  // bytes moved per paced step
    TimePoint txFree_{};
    TimePoint rxFree_{};
    Bytes input_;
    size_t inputHead_ = 0;
    std::optional<std::mt19937> split_;
    uint64_t sentBytes_ = 0;
    uint64_t dropAt_ = 0, flipAt_ = 0;
};

}  // namespace stbsim

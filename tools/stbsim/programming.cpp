// The programming run, from the box's side: the box leads, the PC only answers each sector request with the
// sector's 4096 bytes and their 4-byte little-endian byte sum.
#include <algorithm>
#include <numeric>

#include "behaviours.h"
#include "exchange.h"
#include "report.h"
#include "wire.h"

namespace stbsim {
namespace {

using wire::kSectorSize;

struct Run {
    std::string kind;
    unsigned sectors = 0;
    unsigned requests = 0;
    unsigned ok = 0;      // receptions that arrived whole with the right checksum
    unsigned bad = 0;     // receptions that did not
    unsigned failed = 0;  // sectors still bad after their second request
    bool imageMatches = true;
};

unsigned sectorCount(const Box& box) {
    if (box.options().sectors) return *box.options().sectors;
    if (!box.inputs().image) return 16;
    size_t size = box.inputs().image->size();
    return static_cast<unsigned>(std::min<size_t>((size + kSectorSize - 1) / kSectorSize, 0xFFFF));
}

// Every sector in turn; about every third is followed by a repeat of one already requested, and at least one
// is.
std::vector<unsigned> withRepeats(const std::vector<unsigned>& sectors, std::mt19937& random) {
    std::vector<unsigned> order;
    for (unsigned sector : sectors) {
        order.push_back(sector);
        if (random() % 3 == 0) order.push_back(std::uniform_int_distribution<unsigned>(0, sector)(random));
    }
    if (!sectors.empty() && order.size() == sectors.size()) order.push_back(sectors.front());
    return order;
}

std::vector<unsigned> requestOrder(Box& box, unsigned count) {
    std::vector<unsigned> sectors(count);
    std::iota(sectors.begin(), sectors.end(), 0u);
    switch (box.options().order) {
        case Order::seq:
            return sectors;
        case Order::random:
            std::shuffle(sectors.begin(), sectors.end(), box.random());
            return sectors;
        case Order::repeat:
            return withRepeats(sectors, box.random());
    }
    return sectors;
}

// What the PC sends of sector n of the image: the sector's bytes up to its last whole 128-byte chunk, since
// the PC reads the image chunk by chunk and ends the run, without a checksum, at the first chunk it cannot
// fill.
std::span<const uint8_t> expectedSector(const Bytes& image, unsigned n) {
    size_t offset = size_t{n} * kSectorSize;
    if (offset >= image.size()) return {};
    size_t available = std::min(kSectorSize, image.size() - offset);
    if (available < kSectorSize) available -= available % wire::kImageChunk;
    return std::span(image).subspan(offset, available);
}

char imageMatch(const Box& box, Run& run, unsigned n, std::span<const uint8_t> data) {
    if (!box.inputs().image) return '-';
    auto expected = expectedSector(*box.inputs().image, n);
    bool match = std::equal(data.begin(), data.end(), expected.begin(), expected.end());
    run.imageMatches &= match;
    return match ? '1' : '0';
}

// Bytes that arrived although no sector was requested (a PC sending more than asked).
void reportStray(Box& box) {
    Bytes stray = box.line().takeArrived();
    if (stray.empty()) return;
    Event("STRAY")
        .num("bytes", stray.size())
        .bytes("data", std::span(stray).first(std::min<size_t>(stray.size(), 32)))
        .emit();
}

// One request for sector n and the PC's answer; true when the sector arrived whole with the right checksum.
bool requestSector(Box& box, Run& run, unsigned n) {
    reportStray(box);
    box.noise();
    box.answer(wire::programmingLine("s:prog_sector ", n));
    ++run.requests;
    std::string phase = "sector:" + std::to_string(n);
    Bytes block = receiveBlock(box, kSectorSize + wire::kSectorChecksumSize, phase);
    bool complete = block.size() == kSectorSize + wire::kSectorChecksumSize;
    auto data = std::span<const uint8_t>(block).first(std::min(block.size(), kSectorSize));
    uint32_t sum = wire::byteSum(data);
    Event event("SECTOR");
    event.num("n", n).num("bytes", data.size()).hex("sum", sum);
    bool ok = false;
    if (complete) {
        uint32_t got = wire::readLittleEndian32(std::span(block).last<4>());
        ok = got == sum;
        event.hex("got", got);
    } else {
        event.text("got", "-");
    }
    event.flag("ok", ok).text("match", std::string(1, imageMatch(box, run, n, data))).emit();
    ++(ok ? run.ok : run.bad);
    if (!complete) box.timeout(phase);
    return ok;
}

void serveSector(Box& box, Run& run, unsigned n) {
    if (!requestSector(box, run, n) && !requestSector(box, run, n)) ++run.failed;
}

void reportRun(const Box& box, const Run& run, std::string_view end) {
    Event("PROGRAM")
        .text("kind", run.kind)
        .num("sectors", run.sectors)
        .num("requests", run.requests)
        .num("ok", run.ok)
        .num("bad", run.bad)
        .num("failed", run.failed)
        .text("image", !box.inputs().image ? "none"
                       : run.imageMatches  ? "match"
                                           : "mismatch")
        .text("end", end)
        .emit();
}

}  // namespace

void runProgramming(Box& box, std::string_view kind) {
    Event("COMMAND").text("kind", kind).emit();
    Run run{std::string(kind), sectorCount(box)};
    std::string end = "stop";
    try {
        box.hangUpIfPlanned("program-start");
        box.noise();
        box.answer(wire::programmingLine("s:prog_start ", run.sectors));
        for (unsigned n : requestOrder(box, run.sectors)) serveSector(box, run, n);
        box.hangUpIfPlanned("program-stop");
        box.noise();
        box.answer(wire::programmingLine("s:prog_stop ", 0));
    } catch (const ExchangeAbort& abort) {
        end = abort.reason;
    } catch (const ClientGone&) {
        reportRun(box, run, "client-closed");
        throw;
    }
    reportRun(box, run, end);
}

}  // namespace stbsim

#include "app/session_status.h"

#include "app/reconnect.h"

#include "base/texts.h"
#include "exchange/file_choice.h"
#include "protocol/transfer.h"
#include "serial/port.h"
#include "session/protocol_state.h"
#include "session/screen_geometry.h"
#include "session/session.h"
#include "session/tick.h"

namespace dl {

std::string runTime(const PortSession& s) {
    std::string t = elapsedText(ticksSince(s.startTick.load(), tickNow()));  // "%2d:%02d sec"
    const size_t first = t.find_first_not_of(' ');
    t = first == std::string::npos ? t : t.substr(first);
    return t.substr(0, t.find(' '));
}

namespace {

// The exchange this session runs now, or "" when none.
std::string running(int slot, const PortSession& s) {
    const bool owner = transferOwner.load() == slot;
    const int32_t mode = protocolMode.load();
    if (s.transferActive.load()) {
        if (owner && mode == modeDataSend)
            return formatText(Text::statusSending, s.percent.load(), runTime(s).c_str());
        if (owner && mode == modeDataReceive)
            return formatText(Text::statusReceiving, formatThousands(transfer.receivedCount.load()).c_str(),
                              runTime(s).c_str());
        return formatText(Text::statusProgramming, unsigned(s.sectorsSent.load()),
                          unsigned(s.announcedSectors.load() ? s.announcedSectors.load() : s.sectorTotal),
                          runTime(s).c_str());
    }
    if (s.programming.load() || (owner && (mode != modeIdle || transferState.load() != 0)))
        return std::string(text(Text::statusWaiting));
    return {};
}

}  // namespace

std::string sessionStatus(int slot) {
    if (slot <= 0 || slot >= kSessionSlots) return {};
    const PortSession& s = sessionTable[static_cast<size_t>(slot)];
    const std::string device = devicePath(s.portNumber);
    std::string line = s.connected.load()
                           ? formatText(Text::statusConnected, device.c_str(), unsigned(s.baudRate.load()))
                       : awaitingDevice(slot) ? formatText(Text::statusAwaitingDevice, device.c_str())
                                              : formatText(Text::statusDisconnected, device.c_str());
    std::string more = running(slot, s);
    if (more.empty()) more = sessionNote(slot);
    if (!more.empty()) line += "  |  " + more;
    return line;
}

}  // namespace dl

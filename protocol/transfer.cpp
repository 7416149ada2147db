#include "protocol/transfer.h"

#include <algorithm>

namespace dl {

TransferRecord transfer;

void resetTransfer(TransferRecord& t) {
    t.token = TokenCollector{};
    t.runningChecksum = 0;
    t.transferCount = 0;
    t.inEscape = 0;
    t.escapeTick = 0;
    t.escapeLength = 0;
    t.escapeBuffer.fill(0);
    t.sendSize = 0;
    t.announcedSize = 0;
    t.receivedCount = 0;
    t.receiveBuffer.assign(kReceiveCapacity, 0);
}

bool collectAny(TokenCollector& c, uint8_t byte) {
    return storeLineByte(c.buffer, c.length, byte);
}

}  // namespace dl

#include "base/language.h"

namespace dl {

std::atomic<bool> koreanUi{false};

std::string appTitle() {
    return koreanUi ? "코르바네 시험기" : "Downloader";
}

}  // namespace dl

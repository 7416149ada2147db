#include "base/language.h"

#include "base/texts.h"

namespace dl {

std::atomic<bool> koreanUi{false};

std::string appTitle() {
    return std::string(text(Text::appTitle));
}

}  // namespace dl

// The one language flag of a run: chosen at start-up, read everywhere texts have a Korean variant.
#pragma once

#include <atomic>
#include <string>

namespace dl {

extern std::atomic<bool> koreanUi;

// The application title of the current language ("Downloader" or "코르바네 시험기").
std::string appTitle();

}  // namespace dl

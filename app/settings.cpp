#include "app/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app/dispatch.h"
#include "app/reconnect.h"
#include "base/language.h"
#include "base/recent_files.h"
#include "session/session.h"

namespace dl {

int32_t countrySetting = 1;

namespace {

constexpr std::string_view kSection = "Settings";
constexpr int kKoreaCode = 82;
constexpr const char* kRectKeys[] = {"WinLeft", "WinTop", "WinRight", "WinBottom"};

std::string slotKey(const char* base, int slot) {
    return std::string(base) + std::to_string(slot);
}

std::string recentKey(int k) {
    return "RecentFile" + std::to_string(k);
}

// The territory of a locale name such as "ko_KR.UTF-8" or "en_GB@euro"; "" when it names none.
std::string_view territoryOf(std::string_view locale) {
    const size_t under = locale.find('_');
    if (under == std::string_view::npos) return {};
    std::string_view rest = locale.substr(under + 1);
    return rest.substr(0, rest.find_first_of(".@"));
}

void loadRects(const Profile& p) {
    Rect& frame = sessionTable[0].windowRect;
    frame.left = p.getInt(kSection, slotKey("WinLeft", 0), 100);
    frame.top = p.getInt(kSection, slotKey("WinTop", 0), 100);
    frame.right = p.getInt(kSection, slotKey("WinRight", 0), 200);
    frame.bottom = p.getInt(kSection, slotKey("WinBottom", 0), 100);
    for (int n = 1; n < kSessionSlots; ++n) {
        Rect& r = sessionTable[n].windowRect;
        r.left = p.getInt(kSection, slotKey("WinLeft", n), 16 * n - 12);
        r.top = p.getInt(kSection, slotKey("WinTop", n), 20 * n - 14);
        // The defaults of the far edges follow the values actually read, so a window keeps its size.
        r.right = p.getInt(kSection, slotKey("WinRight", n), r.left + 200);
        r.bottom = p.getInt(kSection, slotKey("WinBottom", n), r.top + 100);
    }
}

void loadRecentFiles(const Profile& p) {
    recentCount = 0;
    for (int k = 1; k <= kRecentMax; ++k) {
        std::string value = p.getString(kSection, recentKey(k), "");
        // The platform reads into a buffer of 260 characters with its terminator.
        if (value.size() > kRecentPathMax) value.resize(kRecentPathMax);
        if (value.size() > 4) recentFiles[static_cast<size_t>(recentCount++)] = std::move(value);
    }
}

}  // namespace

int localeCountryCode() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        const std::string_view territory = territoryOf(value);
        if (territory.empty()) return kKoreaCode;  // "C", "POSIX": no territory known
        return territory == "KR" ? kKoreaCode : 1;
    }
    return kKoreaCode;  // nothing set: the platform's default answer
}

int (*systemCountryCode)() = localeCountryCode;

void loadStartupSettings(const Profile& p) {
    alwaysOnTop = p.getInt(kSection, "AlwaysOnTop", 0);
    countrySetting = p.getInt(kSection, "iCountry", 1);
    const int country = countrySetting != 0 ? countrySetting : systemCountryCode();
    koreanUi = country == kKoreaCode;
    loadRecentFiles(p);
    loadRects(p);
    // A section of our own: the platform's [Settings] keys stay as they are.
    const int lines = p.getInt("Terminal", "ScrollBackLines", static_cast<int>(kDefaultScrollBackLines));
    scrollBackLines = static_cast<size_t>(std::clamp<int64_t>(lines, 0, kMostScrollBackLines));
    logTimestamps = p.getInt("Log", "Timestamps", 0) != 0;
    reconnectAutomatically = p.getInt("Connection", "ReconnectAutomatically", 0) != 0;
}

void storeExitSettings(Profile& p, const Rect& frameRect) {
    sessionTable[0].windowRect = frameRect;
    p.setInt(kSection, "iCountry", countrySetting);
    p.setInt(kSection, "Port", lastPort.load());
    p.setUnsigned(kSection, "Baudrate", lastBaud.load());
    p.setInt(kSection, "AlwaysOnTop", alwaysOnTop);
    for (int slot = 0; slot < kSessionSlots; ++slot) {
        const Rect& r = sessionTable[slot].windowRect;
        const int32_t values[] = {r.left, r.top, r.right, r.bottom};
        for (int k = 0; k < 4; ++k) p.setInt(kSection, slotKey(kRectKeys[k], slot), values[k]);
    }
    // Our own section, written once the choice was made.
    if (logTimestamps || p.get("Log", "Timestamps")) p.setInt("Log", "Timestamps", logTimestamps ? 1 : 0);
    if (reconnectAutomatically || p.get("Connection", "ReconnectAutomatically"))
        p.setInt("Connection", "ReconnectAutomatically", reconnectAutomatically ? 1 : 0);
    for (int i = 1; i <= kRecentMax; ++i) {
        if (i <= recentCount)
            p.set(kSection, recentKey(i), recentFiles[static_cast<size_t>(i - 1)]);
        else
            p.remove(kSection, recentKey(i));
    }
}

bool saveExitSettings(const std::string& path, const Rect& frameRect, std::string* error) {
    std::string refusal;
    Profile p = Profile::load(path, &refusal);
    if (!refusal.empty()) {
        if (error) *error = path + ": " + refusal;
        return false;
    }
    storeExitSettings(p, frameRect);
    if (p.save(path)) return true;
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
}

}  // namespace dl

// The recent-files list: the firmware images last programmed into a box, most recent first, so that one
// can be programmed again from the session window's context menu without the open-file dialog.
//
// Up to nine paths. Adding a path that is already listed moves the listed entry to the front and keeps
// its stored spelling; adding a new one to a full list drops the oldest. `pendingRecentFile` is the one
// entry chosen from the menu, consumed by the next image selection. The settings file stores the list.
//
// Two paths are "the same" when the platform's file system would open the same name for them: exactly
// equal on Linux; equal ignoring letter case on Windows, where names compare in the ANSI code page and a
// double-byte character compares as one whole character (its trail byte is never case-folded). Merging
// two names that differ only in case on a case-sensitive file system would hide one image behind the
// other and program the wrong one into a box.
//
// Main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dl {

inline constexpr int kRecentMax = 9;
inline constexpr size_t kRecentPathMax = 259;

extern std::array<std::string, kRecentMax> recentFiles;  // entries 0 .. recentCount-1, 0 most recent
extern int recentCount;
extern std::optional<std::string> pendingRecentFile;

// Entry `index`, or none when index is negative or not below recentCount.
std::optional<std::string> recentFileAt(int index);

// Puts path at the front: -1 when it was already listed (the listed spelling moves to the front), 0 when
// it is new. A path longer than kRecentPathMax is refused: returns 0 and leaves the list unchanged.
int addRecentFile(std::string_view path);

// Removes the first listed entry equal to path: the new count, or -1 when none is equal.
int removeRecentFile(std::string_view path);

void clearRecentFiles();

// The context-menu row for entry `index`: " &<index+1> <path>"; empty when no such entry exists.
std::string recentMenuText(int index);

enum class PathCompare { exact, ansiNoCase };

// The rule addRecentFile and removeRecentFile use; defaults to ansiNoCase on Windows, exact elsewhere.
PathCompare pathCompareMode();
void setPathCompareMode(PathCompare mode);

// Whether a byte opens a double-byte character in the ANSI code page: the one place a code page enters.
using LeadByteRule = bool (*)(uint8_t byte);
bool isCp949LeadByte(uint8_t byte);  // Korean (Unified Hangul Code): 0x81..0xFE

bool samePath(std::string_view a, std::string_view b, PathCompare mode);
bool samePath(std::string_view a, std::string_view b, PathCompare mode, LeadByteRule isLeadByte);

}  // namespace dl

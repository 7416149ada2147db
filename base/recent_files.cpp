#include "base/recent_files.h"

#include <algorithm>

namespace dl {

std::array<std::string, kRecentMax> recentFiles;
int recentCount = 0;
std::optional<std::string> pendingRecentFile;

namespace {

#ifdef _WIN32
PathCompare compareMode = PathCompare::ansiNoCase;
#else
PathCompare compareMode = PathCompare::exact;
#endif

char foldAsciiLetter(char ch) {
    return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
}

// Index of the first listed entry equal to path, or -1.
int findRecent(std::string_view path) {
    for (int i = 0; i < recentCount; ++i) {
        if (samePath(recentFiles[static_cast<size_t>(i)], path, compareMode)) return i;
    }
    return -1;
}

// Moves entries [0, last) one place down, freeing entry 0; entry `last` is overwritten.
void shiftDown(int last) {
    auto first = recentFiles.begin();
    std::move_backward(first, first + last, first + last + 1);
}

}  // namespace

bool isCp949LeadByte(uint8_t byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

bool samePath(std::string_view a, std::string_view b, PathCompare mode, LeadByteRule isLeadByte) {
    if (mode == PathCompare::exact || a.size() != b.size()) return a == b;
    for (size_t i = 0; i < a.size(); ++i) {
        // A double-byte character compares whole and exactly: its trail byte may look like an ASCII
        // letter but is not one. Both strings agree up to here, so both are at the same character.
        if (isLeadByte(static_cast<uint8_t>(a[i])) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
            ++i;
        } else if (foldAsciiLetter(a[i]) != foldAsciiLetter(b[i])) {
            return false;
        }
    }
    return true;
}

bool samePath(std::string_view a, std::string_view b, PathCompare mode) {
    return samePath(a, b, mode, isCp949LeadByte);
}

PathCompare pathCompareMode() {
    return compareMode;
}
void setPathCompareMode(PathCompare mode) {
    compareMode = mode;
}

std::optional<std::string> recentFileAt(int index) {
    if (index < 0 || index >= recentCount) return std::nullopt;
    return recentFiles[static_cast<size_t>(index)];
}

int addRecentFile(std::string_view path) {
    // The settings file and the menu hold at most kRecentPathMax characters. Cutting a longer path would
    // store the name of a different file (or of none), which a later menu choice would then program into
    // the box, so such a path is simply not remembered.
    if (path.size() > kRecentPathMax) return 0;
    int found = findRecent(path);
    if (found >= 0) {
        std::string kept = std::move(recentFiles[static_cast<size_t>(found)]);
        shiftDown(found);
        recentFiles[0] = std::move(kept);
        return -1;
    }
    shiftDown(std::min(recentCount, kRecentMax - 1));
    recentFiles[0] = std::string(path);
    recentCount = std::min(recentCount + 1, kRecentMax);
    return 0;
}

int removeRecentFile(std::string_view path) {
    int found = findRecent(path);
    if (found < 0) return -1;
    auto first = recentFiles.begin();
    std::move(first + found + 1, first + recentCount, first + found);
    --recentCount;
    recentFiles[static_cast<size_t>(recentCount)].clear();
    return recentCount;
}

void clearRecentFiles() {
    for (std::string& entry : recentFiles) entry.clear();
    recentCount = 0;
}

std::string recentMenuText(int index) {
    std::optional<std::string> path = recentFileAt(index);
    if (!path) return {};
    return " &" + std::to_string(index + 1) + " " + *path;
}

}  // namespace dl

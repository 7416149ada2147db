// The settings file: an INI file read and written the way the Windows private-profile functions treat it,
// held as a plain value.
//
// The file is kept as its lines, so a rewrite changes only the lines that were set or removed: comments
// (";"), blank lines, lines that are neither a section header nor "key=value", and the order of
// everything survive. Section and key names are matched ignoring ASCII letter case, and surrounding
// white space around names and values is not part of them. A lookup finds the first such key in any
// section of that name; a new key goes after the last key of the first such section, a new section at the
// end. Integer reads follow GetPrivateProfileInt: a missing or empty value gives the default, otherwise
// the leading decimal number (wrapping modulo 2^32 as the platform does, so a value written as unsigned
// reads back as the same 32 bits), and text that is no number gives 0. Unlike the platform, quotes around
// a value are kept: on Linux a file name may really start and end with one.
//
// Saving never leaves a half-written file: the text goes to a temporary file in the same folder, which is
// flushed to disk and then renamed over the old one. Line ends follow the file that was loaded (CRLF or
// LF); a new file gets LF.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dl {

struct Profile {
    std::vector<std::string> lines;  // the file's lines in order, without line ends
    bool crlf = false;               // write CR LF line ends
    bool byteOrderMark = false;      // the file began with a UTF-8 byte-order mark; kept on save

    // A missing file gives an empty profile, as a first start has. A file that is there but cannot
    // serve as settings (no read permission, not a regular file, larger than kMaxSize, a read error)
    // gives an empty profile too and, in `refusal`, why: such a file must never be written over. The
    // file is opened without blocking, so a FIFO or a device put in its place cannot stall the start.
    static Profile load(const std::string& path, std::string* refusal = nullptr);
    static constexpr size_t kMaxSize = size_t{1} << 20;
    static Profile parse(std::string_view text);
    std::string text() const;

    std::optional<std::string> get(std::string_view section, std::string_view key) const;
    int getInt(std::string_view section, std::string_view key, int def) const;
    std::string getString(std::string_view section, std::string_view key, std::string_view def) const;

    // Sets or adds the key. Refused (false, nothing changed) when the file could not hold it: a line
    // break anywhere, an empty section name or one with ']', an empty key name, one with '=' or one
    // that would read as a header or comment.
    bool set(std::string_view section, std::string_view key, std::string_view value);
    bool setInt(std::string_view section, std::string_view key, int value);            // "%d"
    bool setUnsigned(std::string_view section, std::string_view key, uint32_t value);  // "%u"

    // Deletes every line of the key in sections of that name; the section header stays.
    void remove(std::string_view section, std::string_view key);

    // False when the file could not be written; the old file is then left as it was. Creates the
    // folder when it is missing.
    bool save(const std::string& path) const;

    bool operator==(const Profile&) const = default;
};

// Where the settings file lives: $XDG_CONFIG_HOME/downloader/corvane.ini, or
// ~/.config/downloader/corvane.ini when that variable is unset, empty or not an absolute path.
std::string defaultSettingsPath();

}  // namespace dl

// Windows only: the words for a Win32 error code, and UTF-8 paths as Win32's wide strings.
#pragma once

#include <string>

namespace dl {

// FormatMessage's text for `code` without its closing line break and full stop, so that it reads
// like strerror's beside a path ("COM3: Access is denied").
std::string win32ErrorText(unsigned long code);
std::wstring widePath(const std::string& utf8);
std::string narrowPath(const std::wstring& wide);

}  // namespace dl

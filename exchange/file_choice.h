// Choosing and describing the files the transfers send and save: the one open-file dialog, the
// thousands separators, and the description line the progress panel shows.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "session/session.h"

namespace dl {

// Directory part of the last image taken; where the image dialog opens. Main thread only.
extern std::string lastImageDirectory;

// The open-file dialog. path holds the initial name on entry and the choice on return (at most
// capacity - 1 characters). On cancel or failure: a message box with the path text titled
// "Zentu Error!", the owner session's programming flag cleared, and 0. `forSaving` marks the choice of
// a file to write, so that the host can ask before an existing file is replaced.
int chooseOpenFile(const std::string& initialDir, WindowId owner, std::string& path, size_t capacity,
                   const std::string& title, bool mustExist, bool forSaving = false);

// The longest path a dialog, a save or an image takes (the file system's own limit), terminator
// included.
inline constexpr size_t kPathCapacity = 4096;

// Opens a file that a transfer reads from its start to its end: read-only, a regular file, with the
// sequential-read hint, never blocking in the open. 0 when opened (fd and st filled), else the reason
// as an errno value or kNotARegularFile.
inline constexpr int kNotARegularFile = -1;
int openForReading(const std::string& path, UniqueFd& fd, struct stat& st);
// Reads at most `count` bytes at `offset` of a file that only the calling thread reads (pread; a seek
// and a read on Windows). The count read, or -1 with errno set.
int64_t readAt(int fd, void* buffer, size_t count, int64_t offset);
// The reason of an openForReading failure in words.
std::string openFailureText(int error);

// "1,048,576" for 1048576.
std::string formatThousands(uint32_t value);

// "C:image.img  2004-4-16  9:05:07  1,048,576": drive, name and extension (no directory), local
// last-write time, size. Linux paths have no drive.
std::string describeFile(const std::string& path, const struct stat& st, uint32_t size);

// The directory part of a path, without its trailing separator ("" when it has none).
std::string directoryOf(const std::string& path);

}  // namespace dl

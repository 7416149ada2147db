// Files for integration tests: a scratch directory removed with everything in it, and the
// upper-case hexadecimal the tool and the box print checksums in.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace dltest {

inline std::string hexText(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

// A scratch directory for images, data files and saved files, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
#ifdef _WIN32
        // No mkdtemp: a name nobody has, made by the one create_directory that succeeds.
        std::random_device random;
        for (int tries = 0; path_.empty() && tries < 100; ++tries) {
            auto candidate = std::filesystem::temp_directory_path() / ("dl-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) path_ = candidate;
        }
        if (path_.empty()) throw std::runtime_error("no scratch directory");
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "dl-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
#endif
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(file(name), std::ios::binary) << bytes;
        return file(name);
    }
    std::optional<std::string> read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        if (!in) return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path path_;
};

}  // namespace dltest

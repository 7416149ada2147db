// The settings file is read from disk as it stands, edited by hand or half-copied: any bytes must parse,
// and what is written back must read back to the same settings.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const dl::Profile first = dl::Profile::parse(text);
    const dl::Profile second = dl::Profile::parse(first.text());
    for (std::string_view key : {"Port", "Baudrate", "RecentFile1", "COM1"}) {
        for (std::string_view section : {"Settings", "Devices"}) {
            if (first.get(section, key) != second.get(section, key)) __builtin_trap();
        }
    }
    (void)first.getInt("Settings", "iCountry", 1);
    return 0;
}

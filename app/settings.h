// The application's settings in the settings file (section "Settings"): read at start-up, written at
// exit, around the other sections of the file (the device names of "Devices" above all), which survive.
//
// Start-up reads "AlwaysOnTop", "iCountry" (and from it the language), the recent files (a value of 4
// characters or fewer is skipped) and the window rectangles of slots 0..4 with their defaults. The exit
// step writes "iCountry", "Port", "Baudrate", "AlwaysOnTop", the 20 rectangle keys, then "RecentFile1"
// on for the list's entries, deleting the keys after the last entry, and saves the file whole or not at
// all. Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "base/profile.h"
#include "session/window_host.h"

namespace dl {

// The "iCountry" value as read, written back unchanged.
extern int32_t countrySetting;

// The system's country code for the language rule when "iCountry" is 0: 82 when the locale's
// territory is Korea or none is known (the platform's default), else another code. Tests replace it.
extern int (*systemCountryCode)();
int localeCountryCode();

// Reads the start-up settings: alwaysOnTop, countrySetting and koreanUi, the recent files, the window
// rectangles of every slot.
void loadStartupSettings(const Profile& profile);

// Writes the exit settings into `profile` (other keys and sections kept). `frameRect` is the frame's
// rectangle at exit, stored into slot 0 first.
void storeExitSettings(Profile& profile, const Rect& frameRect);

// Loads the file at `path`, stores the exit settings and saves it. False (with the reason in `error`)
// when the file could not be written, or is there but could not be read (it is then not touched); the
// old file is left whole either way.
bool saveExitSettings(const std::string& path, const Rect& frameRect, std::string* error = nullptr);

}  // namespace dl

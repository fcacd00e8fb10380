#pragma once

#include <filesystem>

namespace orvanta::core {

// Folders and files the recorder uses, following the XDG base-directory rules. Every function reads
// the environment when it is called, so a changed environment (tests point it at temporary folders)
// takes effect at once. An XDG variable that is unset, empty or not an absolute path is ignored.

inline constexpr const char* kApplicationName = "Orvanta Recorder";
inline constexpr const char* kRecordingsFolderName = "Orvanta Recordings";
inline constexpr const char* kStoreFileName = "Orvanta Recorder.sqlite";

// The user's home: $HOME, else the password database entry. Empty when there is none.
std::filesystem::path homeFolder();

// $TMPDIR, or /tmp.
std::filesystem::path temporaryFolder();

// $XDG_DATA_HOME (else ~/.local/share, else the temporary folder) / "Orvanta Recorder".
std::filesystem::path applicationSupportFolder();
// $XDG_CONFIG_HOME (else ~/.config, else the temporary folder) / "Orvanta Recorder".
std::filesystem::path configFolder();
// $XDG_STATE_HOME (else ~/.local/state, else the temporary folder) / "Orvanta Recorder".
std::filesystem::path stateFolder();

// stateFolder / "Logs/DiagnosticReports": where the program's own crash logs are written.
std::filesystem::path diagnosticReportsFolder();
// "/var/crash", or $ORVANTA_MACHINE_CRASH_DIR when set.
std::filesystem::path machineCrashFolder();
// stateFolder / "orvanta.log".
std::filesystem::path logFilePath();

// The user's documents and desktop folders: $XDG_DOCUMENTS_DIR / $XDG_DESKTOP_DIR, else the entry in
// the user-dirs.dirs file of the XDG configuration folder, else ~/Documents / ~/Desktop.
// Empty when none can be determined (no home).
std::filesystem::path documentsFolder();
std::filesystem::path desktopFolder();

// applicationSupportFolder / "Orvanta Recorder.sqlite".
std::filesystem::path storeFilePath();
// documentsFolder / "Orvanta Recordings"; just "Orvanta Recordings" when there is no documents folder.
std::filesystem::path defaultRecordingDirectory();
// configFolder / "settings.json".
std::filesystem::path settingsFilePath();

}  // namespace orvanta::core

#pragma once

#include <cstdint>

namespace orvanta::core {

// Names of the per-user settings. Readers treat an absent key as stated beside it.

// bool; YES written when absent at preferences load. Hand finished recordings to the uploader at once.
inline constexpr const char* kAutoUpload = "AutoUpload";
// integer; 5 written when absent at preferences load. Screen frames per second.
inline constexpr const char* kScreenCaptureFrameRate = "ScreenCaptureFrameRate";
// string (folder path); the default recording directory written when absent at preferences load.
inline constexpr const char* kRecordingFolder = "RecordingFolder";
// bool; YES written when absent at preferences load; absent is treated as YES at launch.
inline constexpr const char* kHotkeysEnabled = "HOTKEYS_ENABLED";
// string (compression option identifier); default depends on RecordHighResolution.
inline constexpr const char* kVideoCompressionOption = "VideoCompressionOption";
// bool; never written by the program (absent reads as NO).
inline constexpr const char* kRecordHighResolution = "RecordHighResolution";
// string (compression option identifier).
inline constexpr const char* kAudioCompressionOption = "AudioCompressionOption";
// number stored as a double, read as an integer; 15.0 written when absent at preferences load.
inline constexpr const char* kVideoFrameRate = "VideoFrameRate";
// string; the user name.
inline constexpr const char* kLogin = "Login";
// string; host name, optionally with port.
inline constexpr const char* kServer = "Server";
// string; left from earlier versions, only ever removed.
inline constexpr const char* kAuthCookie = "AuthCookie";
// string (URL) that completes an external (web) login.
inline constexpr const char* kOAuthURL = "OAuthURL";
// bool; remember the login and log in at launch.
inline constexpr const char* kSaveLogin = "SaveLogin";
// date of the last successful login; absent means never logged in.
inline constexpr const char* kLastLogIn = "LastLogIn";
// date; modification time of the newest crash log already reported.
inline constexpr const char* kLastCrashDate = "lastCrashDate";
// string; display name of the folder chosen for the last recording.
inline constexpr const char* kLastSessionGroup = "lastSessionGroup";
// bool; sources chosen for the last recording.
inline constexpr const char* kRecordAudioVideo = "recordAudioVideo";
inline constexpr const char* kRecordPresentations = "recordPresentations";
inline constexpr const char* kRecordScreenCapture = "recordScreenCapture";
// string; device names preselected at the next start ("None" for no video device).
inline constexpr const char* kLastVideoDevice = "lastVideoDevice";
inline constexpr const char* kLastAudioDevice = "lastAudioDevice";
// bool; set once the first recording ended without error.
inline constexpr const char* kHasRun = "hasRun";
// unsigned integer; written when absent each time an upload operation is made.
inline constexpr const char* kMaxUploadRetriesKey = "MaxUploadRetriesKey";
inline constexpr const char* kMaxCloseFileRetriesKey = "MaxCloseFileRetriesKey";
// Advanced, absent by default: seconds between close requests while the server still assembles a
// file (60), and the first delay of the automatic retry of an upload the network broke (5).
inline constexpr const char* kUploadPollingInterval = "UploadPollingInterval";
inline constexpr const char* kUploadRetryDelay = "UploadRetryDelay";
// bool; never written by the program. Log SOAP requests and responses.
inline constexpr const char* kLogSoap = "LogSoap";
// bool; never written by the program. Offer "Copy (local)" in the recordings list.
inline constexpr const char* kAllowLocalCopyAction = "AllowLocalCopyAction";

// Default values written when the key is absent.
inline constexpr bool kDefaultAutoUpload = true;
inline constexpr int64_t kDefaultScreenCaptureFrameRate = 5;
inline constexpr bool kDefaultHotkeysEnabled = true;
inline constexpr const char* kVideoCompressionHighResolution = "QTCompressionOptionsSD480SizeH264Video";
inline constexpr const char* kVideoCompressionStandard = "QTCompressionOptions240SizeMPEG4Video";
inline constexpr const char* kDefaultAudioCompressionOption = "QTCompressionOptionsVoiceQualityAACAudio";
inline constexpr double kDefaultVideoFrameRate = 15.0;
inline constexpr int64_t kDefaultMaxUploadRetries = 10;
inline constexpr int64_t kDefaultMaxCloseFileRetries = 5;

}  // namespace orvanta::core

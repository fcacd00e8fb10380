#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "capture/CompressionPresetCatalog.h"
#include "core/Observable.h"
#include "core/Settings.h"

namespace orvanta::capture {

// The list of compression presets offered for one kind of media (camera video or microphone
// sound), with one of them selected, and the selected preset's identifier kept in the settings
// ("VideoCompressionOption" or "AudioCompressionOption").
//
// Observable keys: "mediaType" (also announces "isAudio", "isVideo", "userDefaultsKey"),
// "arrangedObjects" (also "compressionIdentifierList"), "selectionIndex" (also
// "compressionOption", "compressionIdentifier").
class CompressionOptionController : public core::Observable {
public:
    // Reads and writes the chosen identifier through `settings` (the store, or the preferences
    // window's buffered editor); it must outlive the controller.
    explicit CompressionOptionController(core::SettingsAccess& settings);

    // Once the controller is set up: a media type other than sound or video becomes video, which
    // builds the list.
    void awakeFromNib();

    const std::string& mediaType() const { return mediaType_; }
    // Replaces the media type and rebuilds the list, unless the type is empty or the list was
    // already built for this type.
    void setMediaType(const std::string& mediaType);
    bool isAudio() const { return mediaType_ == kMediaTypeSound; }
    bool isVideo() const { return !isAudio(); }

    // The listed presets, and their identifiers in the same order.
    const std::vector<CompressionPreset>& arrangedObjects() const { return arrangedObjects_; }
    const std::vector<std::string>& compressionIdentifiers() const { return compressionIdentifiers_; }
    std::vector<std::string> compressionIdentifierList() const { return compressionIdentifiers_; }

    std::optional<std::size_t> selectionIndex() const { return selectionIndex_; }
    // Selects a listed preset (nothing for an index out of range).
    void setSelectionIndex(std::optional<std::size_t> index);
    std::optional<CompressionPreset> compressionOption() const;
    std::optional<std::string> compressionIdentifier() const;

    // "AudioCompressionOption" for sound, "VideoCompressionOption" otherwise.
    std::string userDefaultsKey() const;
    // Stores a value under userDefaultsKey (no value removes it).
    void saveCompressionSetting(const std::optional<std::string>& value);
    std::optional<std::string> retreiveCompressionSetting() const;
    // Stores the selected identifier; with no selection nothing is stored.
    void saveSelectedIdentifier();
    // Selects the identifier's preset, or the first one when it is not listed (or there is none).
    void selectCompressionByIdentifer(const std::optional<std::string>& identifier);
    // Selects the stored identifier's preset, as selectCompressionByIdentifer.
    void resetSelectedIdentifier();
    // False for an empty identifier and for lossless and JPEG presets.
    static bool includeInList(const std::string& identifier);
    // Rebuilds the list from the presets of the media type and selects the stored one.
    void refreshCompressionList();

protected:
    const DependencyTable& dependentKeys() const override;

private:
    core::SettingsAccess& settings_;
    std::string mediaType_;
    bool listBuilt_ = false;
    std::vector<std::string> compressionIdentifiers_;
    std::vector<CompressionPreset> arrangedObjects_;
    std::optional<std::size_t> selectionIndex_;
};

}  // namespace orvanta::capture

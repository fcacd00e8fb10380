#include "capture/CompressionOptionController.h"

#include <algorithm>

#include "core/Log.h"
#include "core/SettingsKeys.h"

namespace orvanta::capture {

CompressionOptionController::CompressionOptionController(core::SettingsAccess& settings) : settings_(settings) {}

const core::Observable::DependencyTable& CompressionOptionController::dependentKeys() const {
    static const DependencyTable table{
        {"mediaType", {"isAudio", "isVideo", "userDefaultsKey"}},
        {"arrangedObjects", {"compressionIdentifierList"}},
        {"selectionIndex", {"compressionOption", "compressionIdentifier"}},
    };
    return table;
}

void CompressionOptionController::awakeFromNib() {
    core::logf("%s mediaType: %s", ORV_FUNC, mediaType_.c_str());
    if (mediaType_ != kMediaTypeSound && mediaType_ != kMediaTypeVideo) setMediaType(kMediaTypeVideo);
}

void CompressionOptionController::setMediaType(const std::string& mediaType) {
    core::logf("%s old mediaType: %s new mediaType: %s", ORV_FUNC, mediaType_.c_str(), mediaType.c_str());
    if ((listBuilt_ && mediaType == mediaType_) || mediaType.empty()) return;
    mediaType_ = mediaType;
    didChangeValueForKey("mediaType");
    refreshCompressionList();
}

void CompressionOptionController::setSelectionIndex(std::optional<std::size_t> index) {
    if (index && *index >= arrangedObjects_.size()) index.reset();
    if (index == selectionIndex_) return;
    selectionIndex_ = index;
    didChangeValueForKey("selectionIndex");
}

std::optional<CompressionPreset> CompressionOptionController::compressionOption() const {
    if (!selectionIndex_) return std::nullopt;
    return arrangedObjects_[*selectionIndex_];
}

std::optional<std::string> CompressionOptionController::compressionIdentifier() const {
    if (!selectionIndex_) return std::nullopt;
    return compressionIdentifiers_[*selectionIndex_];
}

std::string CompressionOptionController::userDefaultsKey() const {
    return isAudio() ? core::kAudioCompressionOption : core::kVideoCompressionOption;
}

void CompressionOptionController::saveCompressionSetting(const std::optional<std::string>& value) {
    if (value) settings_.setString(userDefaultsKey(), *value);
    else settings_.removeObjectForKey(userDefaultsKey());
}

std::optional<std::string> CompressionOptionController::retreiveCompressionSetting() const {
    return settings_.stringForKey(userDefaultsKey());
}

void CompressionOptionController::saveSelectedIdentifier() {
    if (auto identifier = compressionIdentifier()) saveCompressionSetting(identifier);
}

void CompressionOptionController::selectCompressionByIdentifer(const std::optional<std::string>& identifier) {
    std::size_t index = 0;
    if (identifier) {
        auto it = std::find(compressionIdentifiers_.begin(), compressionIdentifiers_.end(), *identifier);
        if (it != compressionIdentifiers_.end()) {
            index = static_cast<std::size_t>(it - compressionIdentifiers_.begin());
        } else {
            core::logf("%s compression option %s is not offered; selecting %s", ORV_FUNC, identifier->c_str(),
                       compressionIdentifiers_.empty() ? "nothing" : compressionIdentifiers_.front().c_str());
        }
    }
    setSelectionIndex(compressionIdentifiers_.empty() ? std::nullopt : std::optional<std::size_t>(index));
}

void CompressionOptionController::resetSelectedIdentifier() {
    selectCompressionByIdentifer(retreiveCompressionSetting());
}

bool CompressionOptionController::includeInList(const std::string& identifier) {
    return !identifier.empty() && identifier.find("Lossless") == std::string::npos &&
           identifier.find("JPEG") == std::string::npos;
}

void CompressionOptionController::refreshCompressionList() {
    std::vector<std::string> identifiers = compressionOptionsIdentifiersForMediaType(mediaType_);
    arrangedObjects_.clear();
    compressionIdentifiers_.clear();
    selectionIndex_.reset();
    for (const std::string& identifier : identifiers) {
        if (!includeInList(identifier)) continue;
        if (auto preset = compressionOptionsWithIdentifier(identifier)) {
            compressionIdentifiers_.push_back(identifier);
            arrangedObjects_.push_back(*preset);
        } else {
            core::logf("%s compression option %s cannot be made here; left out", ORV_FUNC, identifier.c_str());
        }
    }
    listBuilt_ = true;
    didChangeValueForKey("arrangedObjects");
    didChangeValueForKey("selectionIndex");
    resetSelectedIdentifier();
}

}  // namespace orvanta::capture

#pragma once

#include <string>

#include "model/XmlDocument.h"

namespace orvanta::model {

class Recording;
class Stream;

// The manifest of a recording: root "RecordingInfo" with the recording's identity and session,
// its media streams and files, its slide streams with their slide changes, and its segments.
// Files whose size is still unknown get it read from disk (FileUpload::readFileSize) on the way.
// Every build gives each "EventStream" a new PublicID.
XmlDocument getXML(Recording& recording);

// getXML(recording) serialised: UTF-8 with the XML declaration, no added indentation.
std::string manifestText(Recording& recording);

// The stream information fragment sent when recording starts:
// <StreamInfo><PublicID>Guid</PublicID><Tag>Tag</Tag><StreamType>Type</StreamType></StreamInfo>
std::string getStreamInfoXML(const Stream& stream);

}  // namespace orvanta::model

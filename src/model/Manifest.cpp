#include "model/Manifest.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/Recording.h"
#include "model/Segment.h"
#include "model/Stream.h"

namespace orvanta::model {

namespace {

constexpr const char* kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";

const xmlChar* xml(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

// Appends U+FFFD in UTF-8.
void appendReplacement(std::string& out) { out.append("\xEF\xBF\xBD"); }

// Length of the well-formed UTF-8 sequence at s[i] holding a character XML 1.0 allows, or 0.
size_t xmlCharLength(std::string_view s, size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return (b0 >= 0x20 || b0 == 0x09 || b0 == 0x0A || b0 == 0x0D) ? 1 : 0;
    size_t len;
    uint32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    const bool allowed = cp <= 0xD7FF || (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
    return (!overlong && allowed) ? len : 0;
}

// Paths on Linux are bytes; the document must stay well-formed UTF-8, so a byte sequence that is
// not a character XML allows becomes U+FFFD.
std::string xmlSafeText(std::string_view text) {
    std::string out;
    size_t copied = 0;  // text[0, copied) has been dealt with in out
    bool changed = false;
    for (size_t i = 0; i < text.size();) {
        size_t len = xmlCharLength(text, i);
        if (len) {
            i += len;
            continue;
        }
        if (!changed) {
            out.reserve(text.size() + 8);
            changed = true;
        }
        out.append(text.substr(copied, i - copied));
        appendReplacement(out);
        ++i;
        copied = i;
    }
    if (!changed) return std::string(text);
    out.append(text.substr(copied));
    return out;
}

// Adds a child element holding text; an absent or empty value gives an empty element.
xmlNode* addElement(xmlNode* parent, const char* name, const std::optional<std::string>& text) {
    xmlNode* node;
    if (text && !text->empty())
        node = xmlNewTextChild(parent, nullptr, xml(name), xml(xmlSafeText(*text).c_str()));
    else
        node = xmlNewChild(parent, nullptr, xml(name), nullptr);
    if (!node) throw std::bad_alloc();
    return node;
}

xmlNode* addElement(xmlNode* parent, const char* name) { return addElement(parent, name, std::nullopt); }

std::optional<std::string> dateText(const std::optional<Date>& date) {
    if (!date) return std::nullopt;
    return core::descriptionCompat(*date);
}

// The shortest plain decimal text (no exponent) that reads back as the same double.
std::optional<std::string> decimalText(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    char buf[400];  // the longest fixed form of a finite double is well under this
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    if (ec != std::errc()) return std::nullopt;
    return std::string(buf, end);
}

std::optional<std::string> decimalText(const Value& value) {
    if (const auto* d = std::get_if<double>(&value)) return decimalText(*d);
    if (const auto* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
    return std::nullopt;
}

std::optional<std::string> integerText(const Value& value) {
    if (const auto* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
    if (const auto* d = std::get_if<double>(&value))
        if (std::isfinite(*d)) return std::to_string(static_cast<long long>(*d));
    return std::nullopt;
}

bool hasExtension(const std::optional<std::string>& path, std::string_view ext) {
    if (!path) return false;
    return std::filesystem::path(*path).extension().native() == ext;
}

void addFileInfo(xmlNode* parent, FileUpload& file) {
    file.readFileSize();
    xmlNode* info = addElement(parent, "FileInfo");
    addElement(info, "FilePath", file.localPath());
    addElement(info, "Length", std::to_string(static_cast<unsigned long long>(file.totalSize())));
}

void addFiles(xmlNode* parent, const char* name, const std::vector<std::shared_ptr<FileUpload>>& files) {
    xmlNode* list = addElement(parent, name);
    for (const auto& f : files) addFileInfo(list, *f);
}

void addMediaStream(xmlNode* parent, const Stream& stream) {
    xmlNode* node = addElement(parent, "Stream");
    addElement(node, "PublicID", stream.Guid());
    addElement(node, "Tag", stream.Tag());
    addElement(node, "Type", stream.Type());
    addElement(node, "StartTime", dateText(stream.dateValue("StartTime")));
    addElement(node, "EndTime", dateText(stream.dateValue("EndTime")));
    addFiles(node, "Files", stream.Files());
}

struct SlideEvent {
    std::optional<Date> timeStamp;
    std::optional<std::string> slideNumber;
};

void addEventStream(xmlNode* parent, const Stream& stream, xmlNs* xsi) {
    const auto files = stream.Files();

    // The presentation itself: the last file that is a saved presentation or a zipped document.
    std::optional<std::string> source;
    for (const auto& f : files) {
        auto local = f->localPath();
        if (hasExtension(local, ".ppt") || hasExtension(local, ".zip")) source = f->remotePath();
    }

    // Slide changes in the order they happened; events without a time come first.
    std::vector<SlideEvent> events;
    {
        const auto& objects = stream.toMany("Events");
        events.reserve(objects.size());
        for (const auto& e : objects)
            events.push_back({e->dateValue("timeStamp"), integerText(e->valueForKey("slideNumber"))});
        std::stable_sort(events.begin(), events.end(),
                         [](const SlideEvent& a, const SlideEvent& b) { return a.timeStamp < b.timeStamp; });
    }

    xmlNode* node = addElement(parent, "EventStream");
    addElement(node, "PublicID", core::stringWithUUID());
    addElement(node, "Type", stream.Type());
    xmlNode* target = addElement(addElement(node, "EventTargets"), "EventTarget");
    addElement(target, "PublicID", stream.Guid());
    addElement(addElement(target, "EventSource"), "FilePath", source);
    xmlNode* list = addElement(target, "Events");
    for (const auto& e : events) {
        xmlNode* event = addElement(list, "Event");
        addElement(event, "TimeStamp", dateText(e.timeStamp));
        xmlNode* data = addElement(event, "Data");
        if (!xmlNewNsProp(data, xsi, xml("type"), xml("PowerPointEventData"))) throw std::bad_alloc();
        addElement(data, "SlideNum", e.slideNumber);
    }
    addElement(target, "EventContentOnClient", std::string("false"));
    addFiles(node, "EventFiles", files);
}

bool isSlideStream(const Stream& stream) { return stream.Type() == std::optional<std::string>(kTypePowerPoint); }

void addStream(xmlNode* parent, const Stream& stream, xmlNs* xsi) {
    if (isSlideStream(stream))
        addEventStream(parent, stream, xsi);
    else
        addMediaStream(parent, stream);
}

void addSegment(xmlNode* parent, const Segment& segment) {
    xmlNode* node = addElement(parent, "Segment");
    addElement(node, "Start", decimalText(segment.valueForKey("Start")));
    addElement(node, "End", decimalText(segment.valueForKey("End")));
    addElement(node, "StreamPublicID", std::string(kNullGuid));
}

void appendEscaped(std::string& out, const std::optional<std::string>& text) {
    if (!text) return;
    for (char c : *text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
}

}  // namespace

XmlDocument getXML(Recording& recording) {
    XmlDocHandle doc(xmlNewDoc(xml("1.0")));
    if (!doc) throw std::bad_alloc();
    doc->encoding = xmlStrdup(xml("UTF-8"));
    xmlNode* root = xmlNewDocNode(doc.get(), nullptr, xml("RecordingInfo"), nullptr);
    if (!root) throw std::bad_alloc();
    xmlDocSetRootElement(doc.get(), root);
    xmlNs* xsi = xmlNewNs(root, xml(kXsiNamespace), xml("xsi"));
    if (!xsi) throw std::bad_alloc();

    addElement(root, "PublicID", recording.Guid());
    addElement(root, "SessionID", recording.SessionID());
    addElement(root, "SessionGroupID", recording.SessionGroupID());
    addElement(root, "StartTime", dateText(recording.dateValue("StartTime")));
    addElement(root, "EndTime", dateText(recording.dateValue("EndTime")));
    addElement(root, "TimeOffset", decimalText(recording.valueForKey("TimeOffset")));

    xmlNode* streams = addElement(root, "Streams");
    if (auto video = recording.VideoStream()) addStream(streams, *video, xsi);
    if (auto screen = recording.ScreenCaptureStream()) addStream(streams, *screen, xsi);

    xmlNode* eventStreams = addElement(root, "EventStreams");
    for (const auto& stream : recording.Streams())
        if (isSlideStream(*stream)) addEventStream(eventStreams, *stream, xsi);

    auto segments = recording.Segments();
    std::stable_sort(segments.begin(), segments.end(),
                     [](const auto& a, const auto& b) { return sortSegments(*a, *b) < 0; });
    xmlNode* segmentList = addElement(root, "Segments");
    for (const auto& s : segments) addSegment(segmentList, *s);

    return XmlDocument(std::move(doc));
}

std::string manifestText(Recording& recording) { return getXML(recording).toString(); }

std::string getStreamInfoXML(const Stream& stream) {
    std::string out = "<StreamInfo><PublicID>";
    appendEscaped(out, stream.Guid());
    out += "</PublicID><Tag>";
    appendEscaped(out, stream.Tag());
    out += "</Tag><StreamType>";
    appendEscaped(out, stream.Type());
    out += "</StreamType></StreamInfo>";
    return out;
}

}  // namespace orvanta::model

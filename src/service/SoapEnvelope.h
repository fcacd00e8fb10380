#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "service/SoapValue.h"

// The text of a SOAP 1.1 request: parameter escaping, namespaces and SOAP actions, the envelope.
namespace orvanta::service {

inline constexpr const char* kXMLSchemaInstanceNamespace = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr const char* kXMLSchemaNamespace = "http://www.w3.org/2001/XMLSchema";
inline constexpr const char* kSoapEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

// Replaces, in this order, & < > ' " by their entities. The ampersand goes first, so an entity already
// present in the input is escaped once more ("&amp;" becomes "&amp;amp;"), never left as it was.
std::string escapeCharacters(std::string_view text);

// The element content a parameter value is sent as:
//  - text: escapeCharacters;
//  - map: "<key>escaped value</key>" per entry, in the map's order (keys are element names chosen by the
//    program and are written as they are);
//  - 32-bit integer: "<int>n</int>"; double: its shortest decimal text ("1.5", "3", "1e+20");
//  - list: the escaped elements back to back, without a wrapper;
//  - Guid: "<guid xsi:type=\"s1:guid\">text</guid>" (the GUID text escaped);
//  - bytes: never carried inline by a call (the MTOM step takes them out); when nested inside a map or a
//    list they are written as Base64 text.
std::string escapeObject(const SoapValue& value);
std::string escapeArray(const SoapList& list);
std::string escapeDictionary(const SoapMap& map);

// The text without any leading or trailing "/".
std::string trimSlash(std::string_view text);

// trimSlash(ns), then "/" + trimSlash(extension) when the extension is not empty, then "/" +
// trimSlash(action) when the action is not empty, else a single "/":
//   (N, "", "GetSessions") -> N/GetSessions; (N/, "IWCFReceiver", "UploadChunk") -> N/IWCFReceiver/UploadChunk;
//   (N, "", "") -> N/
std::string combineNamespace(std::string_view ns, std::string_view extension, std::string_view action);

// The complete request envelope. Parameters are written only when both lists are given and there is at
// least one value; the value at bufferIndex must be text and is inserted without escaping (-1: none).
// Values without a name (names shorter than values) are left out.
std::string createSOAPBodyFromMethod(const std::string& method, const std::string& ns, const std::string& extension,
                                     const std::vector<std::string>* names, const std::vector<SoapValue>* values,
                                     int bufferIndex);

}  // namespace orvanta::service

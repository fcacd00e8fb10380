#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <vector>

#include <libxml/tree.h>
#include <nlohmann/json.hpp>

#include "model/XmlDocument.h"

namespace orvanta::test {
class DevServer;
}

namespace orvanta::devserver_test {

inline constexpr const char* kNs = "http://services.orvanta.com/recorder/2011";

struct HttpReply {
    CURLcode curlCode = CURLE_OK;
    long status = 0;
    std::string body;
    std::string contentType;
};

// One request over a fresh connection.
HttpReply httpPost(const std::string& url, const std::string& body, const std::vector<std::string>& headers);
HttpReply httpGet(const std::string& url);

// Text escaped the way the recorder escapes parameter values.
std::string xmlEscape(const std::string& text);

// The envelope the recorder sends: `params` is the already escaped parameter markup.
std::string envelope(const std::string& method, const std::string& params, const std::string& ns = kNs);

// Calls a recorder service method (SOAPAction "<ns>/<method>").
HttpReply callRecorder(const test::DevServer& server, const std::string& method, const std::string& params = {});
// Calls an upload receiver method (SOAPAction "<ns>/IWCFReceiver/<method>") as plain XML.
HttpReply callReceiver(const test::DevServer& server, const std::string& method, const std::string& params = {});

// An MTOM UploadChunk request laid out as the recorder lays it out.
struct ChunkRequest {
    std::string sessionID;
    std::string fileName;
    std::string bytes;
    uint64_t offset = 0;
    std::string boundary = "------------------------9051914041544843365972754266";
    bool quoteBoundary = true;
};
std::string mtomBody(const ChunkRequest& chunk);
HttpReply uploadChunk(const test::DevServer& server, const ChunkRequest& chunk);

// Base64 of the MD5 of the bytes: the hash the receiver must answer.
std::string chunkHash(const std::string& bytes);

// A parsed answer. Element lookups go by local name, the way the recorder reads answers.
class Answer {
public:
    explicit Answer(const std::string& xml);
    bool ok() const { return static_cast<bool>(doc_); }
    // The {method}Response element under soap:Body, or null. The nodes belong to this object,
    // so there is no access through a temporary.
    const xmlNode* response(const std::string& method) const&;
    const xmlNode* response(const std::string& method) const&& = delete;
    // The {method}Result element, or null.
    const xmlNode* result(const std::string& method) const&;
    const xmlNode* result(const std::string& method) const&& = delete;
    // Text of the {method}Result element ("" when missing).
    std::string resultText(const std::string& method) const;
    // Text of the element at a path of child names below the result element.
    std::string resultTextAt(const std::string& method, const std::string& path) const;
    // Names of the result element's children, in order.
    std::vector<std::string> resultChildNames(const std::string& method) const;
    // The faultstring of a fault answer ("" when there is none).
    std::string faultString() const;

private:
    model::XmlDocument doc_;
};

const xmlNode* child(const xmlNode* parent, const std::string& name);
std::vector<const xmlNode*> children(const xmlNode* parent, const std::string& name = {});
std::string text(const xmlNode* node);
// Text of the element reached by a path of child names ("RuntimeConfig/ServerTime").
std::string textAt(const xmlNode* node, const std::string& path);
// Names of the child elements, in order.
std::vector<std::string> childNames(const xmlNode* node);

// GET /devserver/state, parsed.
nlohmann::json serverState(const test::DevServer& server);

}  // namespace orvanta::devserver_test

#include "devserver/SoapClient.h"

#include <memory>
#include <new>

#include "core/Util.h"
#include "service/ServiceConstants.h"
#include "support/DevServer.h"

namespace orvanta::devserver_test {

namespace {

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct XmlCharDeleter {
    void operator()(xmlChar* p) const { xmlFree(p); }
};

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

HttpReply perform(CURL* curl, const std::string& url, curl_slist* headers) {
    HttpReply reply;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    reply.curlCode = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    char* type = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) reply.contentType = type;
    return reply;
}

std::string nameOf(const xmlNode* n) { return reinterpret_cast<const char*>(n->name); }

}  // namespace

HttpReply httpPost(const std::string& url, const std::string& body, const std::vector<std::string>& headers) {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    std::unique_ptr<curl_slist, SlistDeleter> list;
    for (const auto& h : headers) {
        curl_slist* grown = curl_slist_append(list.get(), h.c_str());
        if (!grown) throw std::bad_alloc();
        (void)list.release();  // `grown` is the same list, now one longer
        list.reset(grown);
    }
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    return perform(curl.get(), url, list.get());
}

HttpReply httpGet(const std::string& url) {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    return perform(curl.get(), url, nullptr);
}

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\'': out += "&apos;"; break;
            case '"': out += "&quot;"; break;
            default: out += ch;
        }
    }
    return out;
}

std::string envelope(const std::string& method, const std::string& params, const std::string& ns) {
    std::string methodNs = ns;
    while (!methodNs.empty() && methodNs.back() == '/') methodNs.pop_back();
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<soap:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
           " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
           " xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns=\"" +
           ns + "\"><soap:Body><" + method + " xmlns=\"" + methodNs + "/\">" + params + "</" + method +
           "></soap:Body></soap:Envelope>";
}

HttpReply callRecorder(const test::DevServer& server, const std::string& method, const std::string& params) {
    return httpPost(server.recorderUrl(), envelope(method, params),
                    {"Content-Type: text/xml; charset=utf-8", "SOAPAction: \"" + std::string(kNs) + "/" + method + "\""});
}

HttpReply callReceiver(const test::DevServer& server, const std::string& method, const std::string& params) {
    return httpPost(
        server.receiverUrl(), envelope(method, params, std::string(kNs) + "/"),
        {"Content-Type: text/xml; charset=utf-8", "SOAPAction: \"" + std::string(kNs) + "/IWCFReceiver/" + method + "\""});
}

std::string mtomBody(const ChunkRequest& c) {
    const std::string rootId = std::string(kNs) + "/0";
    const std::string bufferId = std::string(kNs) + "/1";
    const std::string params = "<sessionID>" + c.sessionID + "</sessionID><fileName>" + c.fileName +
                               "</fileName><buffer><xop:Include xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" "
                               "href=\"cid:" +
                               bufferId + "\"/></buffer><offset>" + std::to_string(c.offset) + "</offset>";
    const std::string& b = c.boundary;
    std::string body;
    body += "--" + b + "\r\n";
    body += "Content-Disposition: form-data; name=\"foo\"\r\n";
    body += "Content-Type: application/xop+xml; charset=UTF-8; type=\"text/xml\"\r\n";
    body += "Content-ID: <" + rootId + ">\r\n\r\n";
    body += envelope("UploadChunk", params, std::string(kNs) + "/");
    body += "\r\n--" + b + "\r\n";
    body += "Content-Disposition: form-data; name=\"project\"; filename=\"buffer\"\r\n";
    body += "Content-Type: application/octet-stream\r\n";
    body += "Content-Transfer-Encoding: binary\r\n";
    body += "Content-ID: <" + bufferId + ">\r\n\r\n";
    body += c.bytes;
    body += "\r\n--" + b + "--\r\n";
    return body;
}

HttpReply uploadChunk(const test::DevServer& server, const ChunkRequest& c) {
    const std::string boundary = c.quoteBoundary ? "\"" + c.boundary + "\"" : c.boundary;
    const std::string type = "Content-Type: multipart/related;type=\"application/xop+xml\";boundary=" + boundary +
                             ";start=\"" + std::string(kNs) + "/0\";start-info=\"text/xml\"";
    return httpPost(server.receiverUrl(), mtomBody(c),
                    {type, "SOAPAction: \"" + std::string(kNs) + "/IWCFReceiver/UploadChunk\""});
}

std::string chunkHash(const std::string& bytes) { return core::encodeBase64(core::md5Digest(bytes)); }

Answer::Answer(const std::string& xml) : doc_(model::XmlDocument::parse(xml)) {}

const xmlNode* Answer::response(const std::string& method) const& {
    const xmlNode* body = child(doc_.root(), "Body");
    return child(body, method + "Response");
}

const xmlNode* Answer::result(const std::string& method) const& { return child(response(method), method + "Result"); }

std::string Answer::resultText(const std::string& method) const { return text(result(method)); }

std::string Answer::resultTextAt(const std::string& method, const std::string& path) const {
    return textAt(result(method), path);
}

std::vector<std::string> Answer::resultChildNames(const std::string& method) const {
    return childNames(result(method));
}

std::string Answer::faultString() const {
    return textAt(child(doc_.root(), "Body"), "Fault/faultstring");
}

const xmlNode* child(const xmlNode* parent, const std::string& name) {
    if (!parent) return nullptr;
    for (const xmlNode* c = parent->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && nameOf(c) == name) return c;
    return nullptr;
}

std::vector<const xmlNode*> children(const xmlNode* parent, const std::string& name) {
    std::vector<const xmlNode*> out;
    if (!parent) return out;
    for (const xmlNode* c = parent->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && (name.empty() || nameOf(c) == name)) out.push_back(c);
    return out;
}

std::string text(const xmlNode* node) {
    if (!node) return {};
    std::unique_ptr<xmlChar, XmlCharDeleter> content(xmlNodeGetContent(node));
    return content ? reinterpret_cast<const char*>(content.get()) : "";
}

std::string textAt(const xmlNode* node, const std::string& path) {
    size_t start = 0;
    while (node && start <= path.size()) {
        size_t slash = path.find('/', start);
        node = child(node, path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return text(node);
        start = slash + 1;
    }
    return {};
}

std::vector<std::string> childNames(const xmlNode* node) {
    std::vector<std::string> out;
    for (const xmlNode* c : children(node)) out.push_back(nameOf(c));
    return out;
}

nlohmann::json serverState(const test::DevServer& server) {
    HttpReply reply = httpGet(server.baseUrl() + "/devserver/state");
    if (reply.status != 200) return nullptr;
    return nlohmann::json::parse(reply.body, nullptr, false);
}

}  // namespace orvanta::devserver_test

#include "devserver/UploadReceiver.h"

#include <charconv>

#include "core/Log.h"
#include "core/Util.h"
#include "devserver/Faults.h"
#include "devserver/FileStore.h"
#include "devserver/Mtom.h"
#include "devserver/SoapRequest.h"
#include "devserver/SoapWriter.h"
#include "devserver/State.h"

namespace orvanta::devserver {

namespace {

constexpr std::string_view kXopNamespace = "http://www.w3.org/2004/08/xop/include";

uint64_t parseOffset(const std::string& text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw SoapFault("UploadChunk: offset \"" + text + "\" is not an unsigned 64-bit decimal number");
    return value;
}

// The attachment the buffer parameter refers to through its xop:Include element.
std::string_view attachedBytes(const SoapCall& call, const SoapMessage& message) {
    const xmlNode* buffer = call.param("buffer");
    if (!buffer) throw SoapFault("UploadChunk: parameter buffer is missing");
    const xmlNode* include = firstChildElement(buffer, "Include");
    if (!include || !include->ns || std::string_view(reinterpret_cast<const char*>(include->ns->href)) != kXopNamespace)
        throw SoapFault("UploadChunk: buffer must hold an xop:Include reference to an MTOM attachment");
    auto href = attribute(include, "href");
    if (!href) throw SoapFault("UploadChunk: xop:Include has no href");
    if (!message.isMultipart) throw SoapFault("UploadChunk: the request is not an MTOM multipart message");
    const MimePart* part = message.multipart.byReference(*href);
    if (!part) throw SoapFault("UploadChunk: no MIME part has the Content-ID " + *href);
    return part->body;
}

}  // namespace

std::string UploadReceiver::answer(const SoapCall& call, const SoapMessage& message) {
    state_.countCall(call.method());
    if (call.method() == "ChunkSize") return chunkSize(call);
    if (call.method() == "UploadChunk") return uploadChunk(call, message);
    if (call.method() == "TryCloseFile") return tryCloseFile(call);
    throw SoapFault("the upload receiver has no method " + call.method());
}

std::string UploadReceiver::chunkSize(const SoapCall& call) {
    return soapResponse(call.method(), [&](XmlWriter& w) { w.characters(std::to_string(chunkSize_)); });
}

std::string UploadReceiver::uploadChunk(const SoapCall& call, const SoapMessage& message) {
    const std::string given = call.requiredText("sessionID");
    const std::string sessionID = state_.canonicalSessionID(given).value_or(given);
    const std::string fileName = call.requiredText("fileName");
    const uint64_t offset = parseOffset(call.requiredText("offset"));
    const std::string_view bytes = attachedBytes(call, message);
    const auto path = store_.pathFor(sessionID, fileName);
    if (!path) throw SoapFault("UploadChunk: \"" + given + "\" / \"" + fileName + "\" does not name a file of a session");

    if (faults_.corruptThisHash()) {
        core::Md5Digest digest = core::md5Digest(bytes);
        digest[0] ^= 0xFF;
        core::logf("UploadChunk %s/%s at %llu: %zu bytes dropped, answering a wrong hash", sessionID.c_str(),
                   fileName.c_str(), static_cast<unsigned long long>(offset), bytes.size());
        return soapResponse(call.method(), [&](XmlWriter& w) { w.characters(core::encodeBase64(digest)); });
    }
    core::Md5 md5;
    try {
        const auto file = openFiles_.forWriting(*path);
        FileStore::writeHashed(file->fd(), offset, core::bytesOf(bytes), md5);
    } catch (const std::exception& e) {
        throw SoapFault(std::string("UploadChunk: ") + e.what(), false);
    }
    const core::Md5Digest digest = md5.final();
    state_.fileWritten(sessionID, fileName);
    core::logf("UploadChunk %s/%s at %llu: %zu bytes", sessionID.c_str(), fileName.c_str(),
               static_cast<unsigned long long>(offset), bytes.size());
    return soapResponse(call.method(), [&](XmlWriter& w) { w.characters(core::encodeBase64(digest)); });
}

std::string UploadReceiver::tryCloseFile(const SoapCall& call) {
    const std::string given = call.requiredText("sessionID");
    const std::string sessionID = state_.canonicalSessionID(given).value_or(given);
    const std::string fileName = call.requiredText("fileName");
    const auto path = store_.pathFor(sessionID, fileName);
    if (!path) throw SoapFault("TryCloseFile: \"" + given + "\" / \"" + fileName + "\" does not name a file of a session");

    auto reply = [&](const char* status) {
        core::logf("TryCloseFile %s/%s: %s", sessionID.c_str(), fileName.c_str(), status);
        return soapResponse(call.method(), [&](XmlWriter& w) { w.characters(status); });
    };
    // Every chunk the client sends before closing has been answered, so the file is done with here.
    openFiles_.close(*path);
    const auto size = FileStore::sizeOf(*path);
    if (!state_.file(sessionID, fileName) || !size) return reply("NotUploaded");
    if (state_.countUploadingAnswer(sessionID, fileName, uploadingCount_)) return reply("Uploading");
    if (auto expected = state_.announcedLength(sessionID, baseName(fileName)); expected && *expected != *size) {
        core::logf("TryCloseFile %s/%s: the manifest announced %llu bytes, the file has %llu", sessionID.c_str(),
                   fileName.c_str(), static_cast<unsigned long long>(*expected),
                   static_cast<unsigned long long>(*size));
        return reply("ServerException");
    }
    state_.markClosed(sessionID, fileName);
    return reply("Uploaded");
}

}  // namespace orvanta::devserver

#include "support/UploadRecording.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>

#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/Recording.h"
#include "model/Stream.h"
#include "support/ModelFixture.h"

namespace orvanta::test {

namespace fs = std::filesystem;

void writeRandomFile(const fs::path& path, std::uint64_t size, std::uint64_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 rng(seed);
    std::vector<std::uint64_t> block(1 << 17);
    std::uint64_t left = size;
    while (left > 0) {
        for (auto& w : block) w = rng();
        auto n = std::min<std::uint64_t>(left, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

bool sameBytes(const fs::path& a, const fs::path& b) {
    std::error_code ea, eb;
    auto sizeA = fs::file_size(a, ea), sizeB = fs::file_size(b, eb);
    if (ea || eb || sizeA != sizeB) return false;
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> bx(1 << 20), by(1 << 20);
    while (x && y) {
        x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
        y.read(by.data(), static_cast<std::streamsize>(by.size()));
        if (x.gcount() != y.gcount() || !std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin())) return false;
    }
    return true;
}

std::string makeUploadRecording(const fs::path& storeFolder, const fs::path& filesFolder, const std::string& server,
                                const std::string& folderId, const std::string& folderName,
                                const std::vector<std::uint64_t>& sizes, std::vector<LocalFile>& files) {
    TestHost host(storeFolder);
    auto context = openContext(storeFolder, &host);
    auto recording = context->insert<model::Recording>("Recording");
    std::string guid = core::stringWithUUID();
    recording->setValueForKey("Guid", guid);
    recording->setValueForKey("State", int64_t{model::kStateReady});
    recording->setValueForKey("Server", server);
    recording->setValueForKey("SessionGroupID", folderId);
    recording->setValueForKey("SessionGroupName", folderName);
    recording->setValueForKey("SessionName", std::string("Lecture upload test"));
    recording->setValueForKey("StartTime", utc(2026, 12, 1, 9, 0, 0));
    recording->setValueForKey("Length", std::string("600"));
    fs::path folder = filesFolder / guid;
    fs::create_directories(folder);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        auto stream = context->insert<model::Stream>("Stream");
        stream->setValueForKey("Tag", std::string(i == 0 ? model::kTagCamera : model::kTagScreen));
        stream->setValueForKey("Type", std::string(model::kTypeArchival));
        recording->addToMany("Streams", stream);
        std::string name = guid + "_" + std::to_string(i) + ".mov";
        LocalFile file{folder / name, name};
        writeRandomFile(file.path, sizes[i], 1000 + i);
        auto upload = context->insert<model::FileUpload>("FileUpload");
        upload->setValueForKey("localPath", file.path.string());
        upload->setValueForKey("remotePath", file.remoteName);
        stream->addToMany("Files", upload);
        files.push_back(file);
    }
    if (auto error = context->save()) throw std::runtime_error("cannot save the recording: " + error->description);
    return guid;
}

}  // namespace orvanta::test

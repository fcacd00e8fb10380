#include "capture/MovieProbe.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>
#include <stdexcept>

#include "core/Util.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace orvanta::test {

namespace fs = std::filesystem;

namespace {

struct ClipRecipe {
    const char* video;
    int frequency;
    const char* seconds;
    const char* extra = "";
};

ClipRecipe recipe(Clip clip) {
    switch (clip) {
        case Clip::A:
            return {"testsrc=size=320x240:rate=30", 440, "1.0"};
        case Clip::B:
            return {"testsrc2=size=320x240:rate=30", 660, "1.5"};
        case Clip::C:
            return {"smptebars=size=320x240:rate=30", 880, "0.7"};
        case Clip::Small:
            return {"testsrc=size=160x120:rate=30", 440, "0.5"};
        case Clip::Fragmented:
            return {"testsrc=size=320x240:rate=30", 440, "2.0", " -g 15 -movflags frag_keyframe+empty_moov"};
    }
    throw std::logic_error("unknown clip");
}

// The folder the clips are made in, removed at exit.
const TempDir& clipFolder() {
    static const TempDir folder;
    return folder;
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

nlohmann::json probe(const fs::path& movie, const std::string& what) {
    std::string text = commandOutput("ffprobe -v error " + what + " -of json " + quoted(movie));
    auto json = nlohmann::json::parse(text, nullptr, false);
    return json.is_discarded() ? nlohmann::json::object() : json;
}

}  // namespace

const fs::path& clipPath(Clip clip) {
    static std::map<Clip, fs::path> made;
    auto it = made.find(clip);
    if (it != made.end()) return it->second;
    const ClipRecipe r = recipe(clip);
    fs::path out = clipFolder().path() / ("clip" + std::to_string(static_cast<int>(clip)) + ".mov");
    std::string command = std::string("ffmpeg -nostdin -loglevel error -y -f lavfi -i ") + r.video +
                          " -f lavfi -i sine=frequency=" + std::to_string(r.frequency) + ":sample_rate=44100 -t " +
                          r.seconds + " -c:v mpeg4 -q:v 5 -c:a aac -threads 1" + r.extra + " " + quoted(out) + " 2>&1";
    if (std::system(command.c_str()) != 0 || !fs::exists(out))
        throw std::runtime_error("ffmpeg could not make " + out.string());
    return made.emplace(clip, out).first->second;
}

void copyClip(Clip clip, const fs::path& to) {
    fs::copy_file(clipPath(clip), to, fs::copy_options::overwrite_existing);
}

double movieDuration(const fs::path& movie) {
    auto json = probe(movie, "-show_entries format=duration");
    if (!json.contains("format") || !json["format"].contains("duration")) return -1;
    return std::stod(json["format"]["duration"].get<std::string>());
}

std::vector<TrackInfo> movieTracks(const fs::path& movie) {
    std::vector<TrackInfo> tracks;
    auto json = probe(movie, "-show_entries stream=codec_type,codec_name,width,height,sample_rate,channels");
    for (const auto& s : json.value("streams", nlohmann::json::array())) {
        TrackInfo t;
        t.type = s.value("codec_type", "");
        t.codec = s.value("codec_name", "");
        t.width = s.value("width", 0);
        t.height = s.value("height", 0);
        t.sampleRate = std::atoi(s.value("sample_rate", "0").c_str());
        t.channels = s.value("channels", 0);
        tracks.push_back(t);
    }
    return tracks;
}

std::vector<PacketInfo> moviePackets(const fs::path& movie) {
    std::vector<PacketInfo> packets;
    auto json = probe(movie, "-show_data_hash MD5 -show_entries packet=stream_index,flags,data_hash,pts,dts,pts_time");
    for (const auto& p : json.value("packets", nlohmann::json::array())) {
        PacketInfo info;
        info.stream = p.value("stream_index", -1);
        info.hash = p.value("data_hash", "");
        info.discard = p.value("flags", "").find('D') != std::string::npos;
        info.pts = p.value("pts", int64_t{0});
        info.dts = p.value("dts", int64_t{0});
        info.time = std::atof(p.value("pts_time", "0").c_str());
        packets.push_back(info);
    }
    return packets;
}

std::vector<std::string> trackHashes(const std::vector<PacketInfo>& packets, int stream, bool withDiscarded) {
    std::vector<std::string> hashes;
    for (const auto& p : packets)
        if (p.stream == stream && (withDiscarded || !p.discard)) hashes.push_back(p.hash);
    return hashes;
}

std::string fileDigest(const fs::path& file) {
    auto digest = core::md5Digest(readFile(file));
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (uint8_t b : digest) {
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    return text;
}

}  // namespace orvanta::test

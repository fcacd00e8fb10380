#include "ScreenMovieProbe.h"

#include <cstdlib>
#include <sstream>
#include <string>

#include "support/Files.h"
#include "support/TempDir.h"

namespace orvanta::test {

std::vector<double> videoFrameTimes(const std::filesystem::path& movie) {
    const std::string text = commandOutput("ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of "
                                           "csv=p=0 '" + movie.string() + "'");
    std::vector<double> times;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) times.push_back(std::strtod(line.c_str(), nullptr));
    return times;
}

std::vector<int> RgbPicture::at(int x, int y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
}

RgbPicture decodeFrame(const std::filesystem::path& movie, double seconds, int width, int height) {
    TempDir dir;
    const auto out = dir.path() / "frame.rgb";
    const std::string command = "ffmpeg -v error -ss " + std::to_string(seconds) + " -i '" + movie.string() +
                                "' -frames:v 1 -f rawvideo -pix_fmt rgb24 '" + out.string() + "' 2>&1";
    commandOutput(command);
    RgbPicture picture;
    const std::string bytes = readFile(out);
    if (bytes.size() != static_cast<std::size_t>(width) * height * 3) return picture;
    picture.width = width;
    picture.height = height;
    picture.rgb.assign(bytes.begin(), bytes.end());
    return picture;
}

}  // namespace orvanta::test

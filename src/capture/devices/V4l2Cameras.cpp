#include "capture/devices/V4l2Cameras.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

#include "capture/devices/UdevHandles.h"

namespace orvanta::capture {

namespace {

namespace fs = std::filesystem;

struct Node {
    int number = 0;
    std::string name;
};

// The number N of a "videoN" entry; nothing for other entries (vbi, radio, subdevices).
std::optional<int> videoNumber(const std::string& entry) {
    constexpr std::string_view prefix = "video";
    if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    int number = 0;
    const char* first = entry.data() + prefix.size();
    const char* last = entry.data() + entry.size();
    auto [end, ec] = std::from_chars(first, last, number);
    if (ec != std::errc() || end != last || number < 0) return std::nullopt;
    return number;
}

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    const auto end = line.find_last_not_of(" \t\r\n");
    return end == std::string::npos ? std::string() : line.substr(0, end + 1);
}

// Whether the node captures pictures. udev's probe knows the node's capabilities; without it
// (no udev database, as in containers) the first node of each device is taken, which is where
// drivers put the capture node (the others carry metadata).
bool isCaptureNode(struct ::udev* context, const fs::path& entry) {
    if (context) {
        udev::DevicePtr device(udev_device_new_from_syspath(context, entry.c_str()));
        if (device) {
            if (const char* capabilities = udev_device_get_property_value(device.get(), "ID_V4L_CAPABILITIES"))
                return std::string_view(capabilities).find(":capture:") != std::string_view::npos;
        }
    }
    const std::string index = firstLine(entry / "index");
    return index.empty() || index == "0";
}

// The /dev/v4l/by-id link that leads to the node, when there is one; the first in name order.
std::optional<fs::path> stableLink(const fs::path& devRoot, const fs::path& node) {
    std::error_code ec;
    const fs::path target = fs::weakly_canonical(node, ec);
    if (ec) return std::nullopt;
    std::vector<fs::path> links;
    for (fs::directory_iterator it(devRoot / "v4l" / "by-id", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        if (fs::weakly_canonical(it->path(), linkError) == target && !linkError) links.push_back(it->path());
    }
    if (links.empty()) return std::nullopt;
    return *std::min_element(links.begin(), links.end());
}

// "Name", then "Name (2)", "Name (3)" for further devices of the same name.
std::string distinctName(const std::string& name, std::set<std::string>& used) {
    std::string candidate = name;
    for (int n = 2; used.count(candidate); ++n) candidate = name + " (" + std::to_string(n) + ")";
    used.insert(candidate);
    return candidate;
}

}  // namespace

V4l2Cameras::V4l2Cameras(std::filesystem::path sysfsRoot, std::filesystem::path devRoot)
    : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {}

std::vector<CaptureDevicePtr> V4l2Cameras::list() const {
    udev::ContextPtr context(udev_new());
    std::vector<Node> nodes;
    std::error_code ec;
    for (fs::directory_iterator it(sysfsRoot_, ec), end; !ec && it != end; it.increment(ec)) {
        const auto number = videoNumber(it->path().filename().string());
        if (!number || !isCaptureNode(context.get(), it->path())) continue;
        std::string name = firstLine(it->path() / "name");
        if (name.empty()) name = "Camera";
        nodes.push_back({*number, std::move(name)});
    }
    std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) { return a.number < b.number; });

    std::vector<CaptureDevicePtr> cameras;
    std::set<std::string> used;
    for (const Node& node : nodes) {
        const fs::path path = devRoot_ / ("video" + std::to_string(node.number));
        auto camera = std::make_shared<CaptureDevice>();
        camera->uniqueID = "v4l2:" + stableLink(devRoot_, path).value_or(path).string();
        camera->localizedDisplayName = distinctName(node.name, used);
        camera->mediaTypes = {MediaType::Video};
        camera->address = path.string();
        cameras.push_back(std::move(camera));
    }
    return cameras;
}

}  // namespace orvanta::capture

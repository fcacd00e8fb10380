// Joins movie files with the recorder's movie stitcher, for timing it as a whole process:
//   stitch_tool FINAL CHILD...
// writes FINAL (through FINAL.STITCH) from the children in the order given.
#include <cstdio>
#include <string>
#include <vector>

#include "capture/MovieStitcher.h"
#include "core/Error.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FINAL CHILD...\n", argv[0]);
        return 2;
    }
    std::vector<std::string> children(argv + 2, argv + argc);
    orvanta::core::Error error;
    if (!orvanta::capture::MovieStitcher::stitchMovies(children, argv[1], &error)) {
        std::fprintf(stderr, "%s\n", error.localizedDescription().c_str());
        return 1;
    }
    return 0;
}

#pragma once

#include <string>

namespace orvanta::capture {

// The next name in a numbered movie file sequence, for a file path or a "file://" URL text.
//
// The last path component N becomes "<base>_<number>.<rest>":
//   - N with a "_": base = N up to the first "_"; number = the integer after that "_" (0 when none)
//     plus one; rest = N after that integer and the one character (normally ".") that follows it.
//   - N without a "_": base = N up to the first "." (all of N when there is none); number = 0;
//     rest = N after that ".".
// So G.DV.mov gives G_0.DV.mov, which gives G_1.DV.mov, then G_2.DV.mov.
//
// Any other URL ("scheme://…" with a scheme other than file) is returned unchanged and logged.
std::string fileURLWithNextSequence(const std::string& pathOrUrl);

}  // namespace orvanta::capture

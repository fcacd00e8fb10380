#pragma once

#include <string>

namespace orvanta::model {

// Text with the little styling the recordings list needs: a colour, an optional link, underline.
struct StyledText {
    enum class Color { Default, Gray, Blue };
    std::string text;
    Color color = Color::Default;
    std::string link;  // empty: no link
    bool underlined = false;
    bool systemFont = false;  // the system font at its default size

    bool operator==(const StyledText&) const = default;
};

}  // namespace orvanta::model

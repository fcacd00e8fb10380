#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvanta::core {

// An alert or sheet as the application asks for it; the desktop program shows it, the command
// line answers it, tests record it.
struct Alert {
    enum class Style { Warning, Informational, Critical };
    Style style = Style::Warning;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  // first is the default button

    bool operator==(const Alert&) const = default;
};

// The user-interface steps the application core needs.
class AppUserInterface {
public:
    virtual ~AppUserInterface() = default;
    // Runs a modal alert; returns the index of the chosen button.
    virtual int runModalAlert(const Alert& alert) = 0;
    // Shows a sheet on the main window; completion gets the chosen button's index.
    virtual void showSheet(const Alert& alert, std::function<void(int)> completion) = 0;
    // Asks the application framework to quit; it calls applicationShouldTerminate first.
    virtual void terminateApplication() = 0;
    // Answers a quit that applicationShouldTerminate deferred.
    virtual void replyToApplicationShouldTerminate(bool shouldTerminate) = 0;
    // Brings the main window to the front.
    virtual void showMainWindow() {}
};

}  // namespace orvanta::core

#pragma once

#include "core/AppUserInterface.h"

namespace orvanta::cli {

// Alerts and sheets on the terminal. A question with several answers is asked on the controlling
// terminal when the program runs interactively; otherwise the default (first) answer is taken.
class TerminalInterface : public core::AppUserInterface {
public:
    explicit TerminalInterface(bool interactive) : interactive_(interactive) {}

    int runModalAlert(const core::Alert& alert) override;
    void showSheet(const core::Alert& alert, std::function<void(int)> completion) override;
    void terminateApplication() override { terminated_ = true; }
    void replyToApplicationShouldTerminate(bool) override {}

    bool terminated() const { return terminated_; }

private:
    bool interactive_;
    bool terminated_ = false;
};

}  // namespace orvanta::cli

#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "core/AppUserInterface.h"

namespace orvanta::test {

// Alerts and sheets as the tests see them. Sheets are answered at once with sheetAnswer when it is
// set, otherwise kept until answerSheet().
class TestUserInterface : public core::AppUserInterface {
public:
    std::vector<core::Alert> alerts;  // modal alerts
    std::vector<core::Alert> sheets;
    std::optional<int> sheetAnswer;
    // Called when an alert or sheet is shown, before it is answered.
    std::function<void(const core::Alert&)> onShow;

    int runModalAlert(const core::Alert& alert) override;
    void showSheet(const core::Alert& alert, std::function<void(int)> completion) override;
    void terminateApplication() override {}
    void replyToApplicationShouldTerminate(bool) override {}

    bool hasPendingSheet() const { return !pending_.empty(); }
    // Answers the oldest open sheet.
    void answerSheet(int button);

private:
    std::vector<std::function<void(int)>> pending_;
};

}  // namespace orvanta::test

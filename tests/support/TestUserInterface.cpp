#include "support/TestUserInterface.h"

namespace orvanta::test {

int TestUserInterface::runModalAlert(const core::Alert& alert) {
    alerts.push_back(alert);
    if (onShow) onShow(alert);
    return 0;
}

void TestUserInterface::showSheet(const core::Alert& alert, std::function<void(int)> completion) {
    sheets.push_back(alert);
    if (onShow) onShow(alert);
    if (sheetAnswer)
        completion(*sheetAnswer);
    else
        pending_.push_back(std::move(completion));
}

void TestUserInterface::answerSheet(int button) {
    if (pending_.empty()) return;
    auto completion = std::move(pending_.front());
    pending_.erase(pending_.begin());
    completion(button);
}

}  // namespace orvanta::test

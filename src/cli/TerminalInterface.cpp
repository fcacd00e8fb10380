#include "cli/TerminalInterface.h"

#include <cstdio>
#include <string>

#include "cli/Terminal.h"

namespace orvanta::cli {

int TerminalInterface::runModalAlert(const core::Alert& alert) {
    std::fprintf(stderr, "\norvanta: %s\n", alert.messageText.c_str());
    if (!alert.informativeText.empty()) std::fprintf(stderr, "  %s\n", alert.informativeText.c_str());
    if (!interactive_ || alert.buttons.size() < 2) return 0;
    std::string prompt;
    for (std::size_t i = 0; i < alert.buttons.size(); ++i)
        prompt += "  " + std::to_string(i + 1) + ") " + alert.buttons[i] + (i == 0 ? " (default)" : "") + "\n";
    prompt += "Choose [1-" + std::to_string(alert.buttons.size()) + "]: ";
    auto answer = ask(prompt);
    if (!answer) return 0;
    try {
        std::size_t choice = std::stoul(*answer);
        if (choice >= 1 && choice <= alert.buttons.size()) return static_cast<int>(choice - 1);
    } catch (const std::exception&) {
    }
    return 0;
}

void TerminalInterface::showSheet(const core::Alert& alert, std::function<void(int)> completion) {
    int choice = runModalAlert(alert);
    if (completion) completion(choice);
}

}  // namespace orvanta::cli

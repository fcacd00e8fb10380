#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/ManagedObject.h"
#include "model/SimpleSessionGroup.h"

namespace orvanta::control {

// What choosing a menu item does.
enum class ChooserAction {
    None,                // a prompt, header or status line
    SelectSessionGroup,  // SessionChooserController::selectSessionGroup with the item
    SelectSession,       // SessionChooserController::selectSession with the item's session
};

// One entry of the folder pop-up or the sessions menu, as the window layer draws it.
struct ChooserMenuItem {
    std::string title;
    bool enabled = true;
    bool separator = false;
    // Drawn in dark grey in the standard menu font (the empty folder choice when it may be chosen).
    bool grayTitle = false;
    ChooserAction action = ChooserAction::None;
    std::shared_ptr<model::SimpleSessionGroup> sessionGroup;  // folder items
    model::ObjectPtr session;                                 // session items

    static ChooserMenuItem separatorItem() {
        ChooserMenuItem item;
        item.separator = true;
        item.enabled = false;
        return item;
    }

    bool operator==(const ChooserMenuItem&) const = default;
};

// A menu and, for a pop-up, the index of its selected item (-1: none).
struct ChooserMenu {
    std::vector<ChooserMenuItem> items;
    int selectedIndex = -1;

    const ChooserMenuItem* selectedItem() const {
        return selectedIndex >= 0 && selectedIndex < static_cast<int>(items.size()) ? &items[selectedIndex] : nullptr;
    }

    bool operator==(const ChooserMenu&) const = default;
};

}  // namespace orvanta::control

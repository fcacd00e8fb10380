// Sign-in through an identity provider: the provider pop-up and the provider's page.

#include <algorithm>
#include <exception>

#include "control/LoginController.h"
#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "service/RecorderService.h"

namespace orvanta::control {

namespace {

std::string textEntry(const model::ResultMap& values, const char* key) {
    auto it = values.find(key);
    return it != values.end() && it->second.isText() ? it->second.text() : std::string();
}

}  // namespace

void LoginController::serverChanged() {
    auto list = externalProviders_.get();
    list.popUpHidden = true;
    list.updateButtonHidden = false;
    list.updateButtonEnabled = !settings_.stringForKey(core::kServer).value_or("").empty();
    externalProviders_.set(list);
}

void LoginController::getExternalProviders() {
    auto list = externalProviders_.get();
    list.updateButtonHidden = true;
    list.popUpHidden = false;
    list.popUpEnabled = false;
    list.items = {{kLoadingProviders, std::nullopt}};
    list.selectedIndex = 0;
    externalProviders_.set(list);

    std::vector<model::ResultMap> providers;
    try {
        service::RecorderService service(normalizeServerName(settings_.stringForKey(core::kServer).value_or("")));
        providers = service.GetExternalProviders();
    } catch (const std::exception& e) {
        core::logf("Exception: %s", e.what());
        list.items = {{kErrorLoadingProviders, std::nullopt}};
        externalProviders_.set(list);
        return;
    }

    const std::string login = settings_.stringForKey(core::kLogin).value_or("");
    list.items = {{kOwnAccounts, std::nullopt}};
    list.selectedIndex = 0;
    for (auto& provider : providers) {
        const std::string prefix = textEntry(provider, "Name") + "\\";
        if (!login.empty() && login.starts_with(prefix)) list.selectedIndex = static_cast<int>(list.items.size());
        list.items.push_back({textEntry(provider, "Description"), std::move(provider)});
    }
    list.popUpEnabled = list.items.size() >= 2;
    externalProviders_.set(list);
}

std::optional<std::string> LoginController::setExternalProvider(int index) {
    auto list = externalProviders_.get();
    if (index < 0 || static_cast<size_t>(index) >= list.items.size()) return std::nullopt;
    list.selectedIndex = index;
    externalProviders_.set(list);

    const auto& provider = list.items[static_cast<size_t>(index)].provider;
    if (!provider) {
        if (externalLoginShowing_.get()) {
            externalLoginShowing_.set(false);
            loadingExternalPage_.set(false);
        }
        return std::nullopt;
    }

    if (!externalLoginShowing_.get()) externalLoginShowing_.set(true);
    externalPageAddress_.set("about:blank");
    const std::string server = normalizeServerName(settings_.stringForKey(core::kServer).value_or(""));
    const std::string address = externalProviderAddress(server, textEntry(*provider, "Name"));
    loadingExternalPage_.set(true);
    loginMessage_.set("");
    core::logf("%s server: %s address: %s", ORV_FUNC, server.c_str(), address.c_str());
    externalPageAddress_.set(address);
    return address;
}

void LoginController::webViewDidFinishLoad(std::optional<std::string> userInfo) {
    if (!userInfo || userInfo->empty()) {
        loadingExternalPage_.set(false);
        loginMessage_.set(kUseProviderPage);
        return;
    }
    // "user\npassword": without a line feed there is no password, and the login does not start.
    const size_t lineFeed = userInfo->find('\n');
    settings_.setString(core::kLogin, userInfo->substr(0, lineFeed));
    std::string password;
    if (lineFeed != std::string::npos) {
        password = userInfo->substr(lineFeed + 1);
        password.resize(std::min(password.size(), password.find('\n')));
    }
    password_.set(password);
    logIn();
}

}  // namespace orvanta::control

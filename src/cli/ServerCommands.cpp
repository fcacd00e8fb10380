// Commands that ask the server: folders and status.
#include <cstdio>

#include "cli/Commands.h"
#include "control/LoginController.h"
#include "control/SessionStatus.h"
#include "core/Error.h"
#include "core/SettingsKeys.h"
#include "core/Util.h"
#include "model/Recording.h"
#include "model/SimpleSessionGroup.h"
#include "service/RecorderService.h"

namespace orvanta::cli {

namespace {

int noArguments(const char* command, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {}, {});
    if (!args.error.empty()) return usageError(command, args.error);
    if (!args.positional.empty()) return usageError(command, "unexpected argument '" + args.positional[0] + "'");
    return kExitOk;
}

int serverFailure(const char* command, const core::OrvantaSoapException& e) {
    std::fprintf(stderr, "orvanta %s: %s\n", command, core::messageFromError(&e.innerError()).value_or(e.what()).c_str());
    return kExitFailed;
}

}  // namespace

int runFolders(CommandContext& context, const std::vector<std::string>& argv) {
    if (int rc = noArguments("folders", argv)) return rc;
    if (!context.ensureLoggedIn()) return kExitNotLoggedIn;
    try {
        auto service = service::RecorderService::serviceFromSettings();
        for (const auto& group : service->GetSessionGroups()) {
            std::printf("folder\t%s\t%s\n", group->stringValue("publicID").value_or("").c_str(),
                        group->displayName().c_str());
            for (const auto& session : group->sortedSessions())
                std::printf("session\t%s\t%s\n", session->stringValue("publicID").value_or("").c_str(),
                            session->stringValue("longName").value_or("").c_str());
        }
    } catch (const core::OrvantaSoapException& e) {
        return serverFailure("folders", e);
    }
    return kExitOk;
}

int runStatus(CommandContext& context, const std::vector<std::string>& argv) {
    if (int rc = noArguments("status", argv)) return rc;
    auto* store = context.store();
    if (!store) return kExitStoreUnavailable;
    if (!context.ensureLoggedIn()) return kExitNotLoggedIn;
    auto recordings = store->all<model::Recording>("Recording");
    std::vector<std::string> ids;
    for (const auto& r : recordings)
        if (auto id = r->SessionID(); id && !id->empty()) ids.push_back(*id);
    if (ids.empty()) {
        std::printf("no uploaded recordings\n");
        return kExitOk;
    }
    try {
        auto sessions = service::RecorderService::serviceFromSettings()->GetSessions(ids);
        control::updateSessionStatus(recordings, sessions,
                                     context.settings().stringForKey(core::kLogin).value_or(""),
                                     context.controllers().loginController().encryptedPassword().get());
    } catch (const core::OrvantaSoapException& e) {
        return serverFailure("status", e);
    }
    for (const auto& r : recordings) {
        if (!r->SessionID() || r->SessionID()->empty()) continue;
        std::printf("%s\t%s\t%s\n", r->Guid().value_or("").c_str(), r->ServerStatus().value_or("").c_str(),
                    r->ViewerUrl().value_or("").c_str());
    }
    return kExitOk;
}

}  // namespace orvanta::cli

#include <cstdio>
#include <cstdlib>

#include "cli/Commands.h"
#include "cli/Terminal.h"
#include "control/Keychain.h"
#include "control/LoginController.h"
#include "core/SettingsKeys.h"

namespace orvanta::cli {

namespace {

// The value of an option, else the answer on the terminal (offering the current value), else the
// current value.
std::string chooseValue(CommandContext& context, const Arguments& args, const char* option, const char* key,
                        const char* question) {
    if (args.has(option)) return args.value(option);
    auto current = context.settings().stringForKey(key).value_or("");
    if (context.interactive()) {
        std::string prompt = std::string(question) + (current.empty() ? "" : " [" + current + "]") + ": ";
        if (auto answer = ask(prompt); answer && !answer->empty()) return *answer;
    }
    return current;
}

}  // namespace

int runLogin(CommandContext& context, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {"server", "user"}, {"password-stdin", "save", "no-save"});
    if (!args.error.empty()) return usageError("login", args.error);
    if (!args.positional.empty()) return usageError("login", "unexpected argument '" + args.positional[0] + "'");
    if (args.has("save") && args.has("no-save")) return usageError("login", "--save and --no-save exclude each other");

    auto& settings = context.settings();
    std::string server = control::normalizeServerName(chooseValue(context, args, "server", core::kServer, "Server"));
    std::string user = chooseValue(context, args, "user", core::kLogin, "User name");
    if (server.empty()) return usageError("login", "no server given");
    if (user.empty()) return usageError("login", "no user name given");

    std::optional<std::string> password;
    if (args.has("password-stdin")) {
        password = readLine();
        if (!password) return usageError("login", "no password on standard input");
    } else if (const char* env = std::getenv("ORVANTA_PASSWORD"); env && *env) {
        password = env;
    } else if (context.interactive()) {
        password = readSecret("Password for " + user + " on " + server + ": ");
    }
    if (!password || password->empty())
        return usageError("login", "no password (use the terminal, --password-stdin or $ORVANTA_PASSWORD)");

    // A login with a user name and password replaces an identity-provider login.
    settings.removeObjectForKey(core::kOAuthURL);
    settings.removeObjectForKey(core::kAuthCookie);
    settings.setString(core::kServer, server);
    settings.setString(core::kLogin, user);
    if (args.has("save")) settings.setBool(core::kSaveLogin, true);
    if (args.has("no-save")) settings.setBool(core::kSaveLogin, false);

    auto& login = context.controllers().loginController();
    login.password().set(*password);
    if (!context.runLogin()) {
        std::fprintf(stderr, "orvanta login: %s\n", login.loginMessage().get().c_str());
        return kExitNotLoggedIn;
    }
    std::printf("Logged in to %s as %s.\n", settings.stringForKey(core::kServer).value_or("").c_str(), user.c_str());
    return kExitOk;
}

int runLogout(CommandContext& context, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {}, {});
    if (!args.error.empty()) return usageError("logout", args.error);
    if (!args.positional.empty()) return usageError("logout", "unexpected argument '" + args.positional[0] + "'");
    auto& settings = context.settings();
    auto server = settings.stringForKey(core::kServer).value_or("");
    auto user = settings.stringForKey(core::kLogin).value_or("");
    context.controllers().loginController().logOut();
    // Logging out also forgets what would log in again by itself.
    settings.removeObjectForKey(core::kOAuthURL);
    settings.removeObjectForKey(core::kAuthCookie);
    settings.removeObjectForKey(core::kLastLogIn);
    if (!server.empty() && !user.empty()) control::Keychain::removePassword(server, user);
    std::printf("Logged out.\n");
    return kExitOk;
}

}  // namespace orvanta::cli

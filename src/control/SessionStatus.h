#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/ManagedObject.h"
#include "model/Recording.h"

namespace orvanta::control {

// Applies the server's sessions to the recordings that belong to them: the status and viewer
// address of each session's "default" delivery (cleared when it has none). Nothing is saved.
// login: the "Login" setting; encryptedPassword: the login controller's.
void updateSessionStatus(const std::vector<std::shared_ptr<model::Recording>>& recordings,
                         const std::vector<model::ObjectPtr>& sessions, const std::string& login,
                         const std::string& encryptedPassword);

}  // namespace orvanta::control

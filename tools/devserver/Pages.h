#pragma once

#include <httplib.h>

namespace orvanta::devserver {

class FileStore;
class State;

// The web pages the recorder opens: the identity-provider login pages (whose script
// getUserInfo() hands the recorder a user name and password), the viewer a delivery links to,
// and the page behind the "manage recordings" link.
void addPages(httplib::Server& server, const State& state);

// Helpers for tests and benchmarks: GET /devserver/state (JSON) and
// GET /devserver/files/<session>/<file name> (the bytes as stored).
void addAdminRoutes(httplib::Server& server, const State& state, const FileStore& store);

}  // namespace orvanta::devserver

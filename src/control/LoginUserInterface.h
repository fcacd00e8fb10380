#pragma once

namespace orvanta::control {

// The window steps of the login: the desktop program shows the sheets, the command line and tests
// leave them out (the defaults do nothing and report that there is no main window).
class LoginUserInterface {
public:
    virtual ~LoginUserInterface() = default;

    // Shows the login sheet on the main window; false when there is no main window. When the sheet
    // ends, the desktop program calls LoginController::didEndSheet.
    virtual bool showLoginSheet() { return false; }
    // Takes the login sheet off the screen. The controller records the sheet as ended itself, so a
    // later didEndSheet from the sheet's end handler changes nothing.
    virtual void closeLoginSheet() {}
    // Shows the sheet telling that this recorder is out of date; the download address is the
    // controller's requiredVersion.
    virtual void showNewVersionSheet() {}
    // Quits the application (the first login on this machine was cancelled).
    virtual void terminateApplication() {}
};

}  // namespace orvanta::control

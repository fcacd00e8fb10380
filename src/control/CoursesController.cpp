#include "control/CoursesController.h"

#include <exception>
#include <stdexcept>
#include <system_error>

#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "service/RecorderService.h"
#include "service/SynchronousSoapCaller.h"

namespace orvanta::control {

namespace {

// The server refused the name of a new folder.
class AddCourseException : public std::runtime_error {
public:
    AddCourseException() : std::runtime_error(kDuplicateFolderReason) {}
};

}  // namespace

CoursesController::CoursesController(core::Settings& settings, core::RunLoop& mainLoop,
                                     core::Property<bool>& loggedIn, core::AppUserInterface* ui, Options options)
    : settings_(settings),
      mainLoop_(mainLoop),
      loggedIn_(loggedIn),
      ui_(ui),
      options_(options),
      self_(std::make_shared<CoursesController*>(this)) {
    setUpdating(true);
    // The login state may change on any thread; the list is looked after on the main thread only.
    std::weak_ptr<CoursesController*> weak = self_;
    core::RunLoop* loop = &mainLoop_;
    loggedInSubscription_ = loggedIn_.observe([weak, loop](const bool& value) {
        auto react = [weak, value] {
            if (auto self = weak.lock()) (*self)->loggedInChanged(value);
        };
        if (loop->isLoopThread())
            react();
        else
            loop->post(react);
    });
}

CoursesController::~CoursesController() {
    closing_ = true;
    loggedInSubscription_.reset();
    timer_.invalidate();
    waitForRefresh();
    self_.reset();
}

SessionGroupPtr CoursesController::sessionGroupWithGUID(const std::string& publicID) const {
    for (const auto& group : content_)
        if (group && group->stringValue("publicID").value_or("") == publicID) return group;
    return nullptr;
}

// ---- refreshing

void CoursesController::setUpdating(bool updating) {
    if (!updating) {
        timer_.invalidate();
        return;
    }
    if (timer_.isValid() || closing_) return;
    timer_ = mainLoop_.schedule(core::RunLoop::Interval(options_.refreshInterval), true,
                                [this] { getSessionGroups(); });
}

void CoursesController::getSessionGroups() {
    if (closing_ || refreshRunning_ || !loggedIn_.get()) return;
    joinFinishedRefresh();
    refreshRunning_ = true;
    try {
        refreshThread_ = std::thread([this] {
            getSessionGroupsCore();
            refreshRunning_ = false;
        });
    } catch (const std::system_error& e) {
        refreshRunning_ = false;
        core::logf("Exception getting group: %s", e.what());
    }
}

void CoursesController::getSessionGroupsCore() {
    std::unique_lock lock(updateLock_, std::try_to_lock);
    if (!lock.owns_lock()) return;
    try {
        auto service = makeService();
        SessionGroupList groups = service->GetSessionGroups();
        mainLoop_.postAndWait([this, &groups] {
            if (!closing_) updateSessionGroups(std::move(groups));
        });
    } catch (const std::exception& e) {
        core::logf("Exception getting group: %s", e.what());
    }
}

void CoursesController::updateSessionGroups(SessionGroupList groups) {
    content_ = std::move(groups);
    const bool isUpdate = updatedSinceLastLogin_;
    updatedSinceLastLogin_ = true;
    coursesUpdated.emit(isUpdate);
}

void CoursesController::waitForRefresh() {
    // A refresh hands its list to the main thread and waits for it, so the loop must go on running
    // while we wait on its thread.
    if (mainLoop_.isLoopThread()) {
        while (refreshRunning_ && !mainLoop_.isShutDown())
            mainLoop_.runUntil([this] { return !refreshRunning_.load(); }, std::chrono::milliseconds(100));
    }
    if (refreshThread_.joinable()) refreshThread_.join();
}

void CoursesController::joinFinishedRefresh() {
    if (refreshThread_.joinable() && !refreshRunning_) refreshThread_.join();
}

void CoursesController::loggedInChanged(bool loggedIn) {
    updatedSinceLastLogin_ = false;
    if (loggedIn) getSessionGroups();
}

std::unique_ptr<service::RecorderService> CoursesController::makeService() const {
    auto service = std::make_unique<service::RecorderService>(settings_.stringForKey(core::kServer).value_or(""));
    if (options_.transferSeconds > 0 || options_.waitSeconds > 0) {
        auto& caller = service->caller();
        caller.setTimeouts(options_.transferSeconds > 0 ? options_.transferSeconds
                                                        : service::SynchronousSoapCaller::kDefaultTransferSeconds,
                           options_.waitSeconds > 0 ? options_.waitSeconds : caller.waitSeconds());
    }
    return service;
}

// ---- the add-folder sheet

void CoursesController::showAddSessionGroupButtonClick() {
    setUpdating(false);
    sheetShowing_.set(true);
}

void CoursesController::addCourse() {
    const std::string name = newCourseName_.get();
    try {
        auto service = makeService();
        if (!service->AddSessionGroup(name)) throw AddCourseException();
        // The new folder shows up with this refresh, unless a timer refresh holds the lock: then it
        // comes with a later one and is not announced.
        getSessionGroupsCore();
        sheetShowing_.set(false);
        for (const auto& group : content_) {
            if (group && group->stringValue("longName").value_or("") == name) {
                newSessionGroup.emit(group);
                break;
            }
        }
    } catch (const std::exception& e) {
        sheetShowing_.set(false);
        core::logf("Exception: %s", e.what());
        if (ui_) {
            core::Alert alert;
            alert.messageText = kAddFolderFailedMessage;
            alert.informativeText = std::string("Error: ") + e.what();
            alert.buttons = {"OK"};
            ui_->showSheet(alert, [](int) {});
        }
    }
    setUpdating(true);
}

void CoursesController::cancelAddCourse() {
    setUpdating(true);
    sheetShowing_.set(false);
}

}  // namespace orvanta::control

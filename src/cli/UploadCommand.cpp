#include <cstdio>
#include <memory>
#include <set>

#include "cli/Commands.h"
#include "cli/ProgressDisplay.h"
#include "cli/Terminal.h"
#include "core/Log.h"
#include "model/Recording.h"
#include "upload/UploadController.h"

namespace orvanta::cli {

namespace {

using RecordingPtr = std::shared_ptr<model::Recording>;

bool uploaded(const model::Recording& r) { return r.State() == model::kStateUploadComplete; }

// The recordings the command line names, or every one not yet uploaded with --all.
bool selectRecordings(model::ManagedObjectContext& store, const Arguments& args, std::vector<RecordingPtr>& out) {
    auto all = store.all<model::Recording>("Recording");
    if (args.has("all")) {
        for (const auto& r : all)
            if (!uploaded(*r)) out.push_back(r);
        return true;
    }
    std::set<std::string> seen;
    for (const auto& guid : args.positional) {
        if (!seen.insert(guid).second) continue;
        RecordingPtr found;
        for (const auto& r : all)
            if (r->Guid() == guid) found = r;
        if (!found) {
            std::fprintf(stderr, "orvanta upload: no recording %s in the store\n", guid.c_str());
            return false;
        }
        out.push_back(found);
    }
    return true;
}

}  // namespace

int runUpload(CommandContext& context, const std::vector<std::string>& argv) {
    auto args = parseArguments(argv, {}, {"all"});
    if (!args.error.empty()) return usageError("upload", args.error);
    if (args.has("all") == !args.positional.empty())
        return usageError("upload", "name the recordings to upload, or give --all");
    auto* store = context.store();
    if (!store) return kExitStoreUnavailable;

    std::vector<RecordingPtr> selected;
    if (!selectRecordings(*store, args, selected)) return kExitFailed;
    std::vector<RecordingPtr> pending;
    for (const auto& r : selected) {
        if (uploaded(*r))
            std::printf("%s already uploaded\n", r->Guid().value_or("").c_str());
        else
            pending.push_back(r);
    }
    if (pending.empty()) return kExitOk;
    if (!context.ensureLoggedIn()) return kExitNotLoggedIn;

    return sendRecordings(context, pending);
}

int sendRecordings(CommandContext& context, const std::vector<std::shared_ptr<model::Recording>>& pending) {
    auto& uploads = context.controllers().uploadController();
    ProgressDisplay progress(isTerminal(stderr));
    bool pausing = false;
    context.interrupts().setHandler([&](int count) {
        if (count > 1) {
            // A second interrupt does not wait for the chunks under way; the stored progress stays.
            context.app().saveManagedObjects();
            progress.message("orvanta upload: stopped");
            std::fflush(nullptr);
            std::_Exit(kExitInterrupted);
        }
        pausing = true;
        progress.message("orvanta upload: pausing; the upload resumes with the next 'orvanta upload'");
        uploads.cancelPendingRetries();
        for (const auto& r : pending)
            if (uploads.isUploading(r->Guid().value_or(""))) uploads.pauseUploadForRecording(r);
    });
    auto ended = uploads.uploadEnded.connect([&](const std::string& guid) {
        for (const auto& r : pending) {
            if (r->Guid() != guid) continue;
            if (uploaded(*r))
                progress.message(guid + " uploaded");
            else if (!pausing && r->State() == model::kStateFailed && !uploads.hasPendingRetry(guid))
                progress.message(guid + " failed: " + r->FaultString().value_or("unknown fault"));
        }
    });

    for (const auto& r : pending) {
        if (uploads.isUploading(r->Guid().value_or(""))) continue;  // already on its way
        if (!r->canUpload()) {
            progress.message(r->Guid().value_or("") + " cannot be uploaded now: " + r->DetailedStatus());
            continue;
        }
        uploads.uploadRecording(r);
    }
    auto busy = [&] {
        for (const auto& r : pending) {
            auto guid = r->Guid().value_or("");
            if (uploads.isUploading(guid) || (!pausing && uploads.hasPendingRetry(guid))) return true;
        }
        return false;
    };
    auto ticker = context.loop().schedule(std::chrono::milliseconds(isTerminal(stderr) ? 200 : 1000), true,
                                          [&] { progress.update(pending); });
    context.runUntil([&] { return !busy(); });
    ticker.invalidate();
    progress.update(pending);
    progress.finish();
    context.interrupts().setHandler(nullptr);
    context.app().saveManagedObjects();

    if (pausing) return kExitInterrupted;
    int failed = 0;
    for (const auto& r : pending)
        if (!uploaded(*r)) ++failed;
    if (failed) std::fprintf(stderr, "orvanta upload: %d of %zu recordings not uploaded\n", failed, pending.size());
    return failed ? kExitFailed : kExitOk;
}

}  // namespace orvanta::cli

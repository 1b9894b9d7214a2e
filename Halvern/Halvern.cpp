#include "Halvern.h"

#include <chrono>
#include <cstring>
#include <variant>

#include "Foundation.h"
#include "HalvernAppDelegate.h"
#include "ShowAlert.h"
#include "Texts.h"
#include "TolmBroadcast.h"
#include "TolmHeartbeat.h"

bool CompareMinorVersionReturnTrueIfGreaterOrEqual(int a, int b, int c, int d) {
    if (a != c) return a > c;
    return b >= d;
}

std::string Halvern::localizedString(std::string_view key) const {
    return platform_.strings.localizedString(key);
}

std::string Halvern::MinimumVersionText() {
    return Format(texts::kVersionFormat, texts::kMinimumMajor, texts::kMinimumMinor, texts::kMinimumPatch);
}

std::string Halvern::LumaroNotFoundText() const {
    std::string text = localizedString(texts::kKeyLumaroNotFound);
    text = ReplaceOccurrences(text, texts::kChannelNamePlaceholder, texts::kRequiredTrack);
    return ReplaceOccurrences(text, texts::kFullVersionPlaceholder, MinimumVersionText());
}

void Halvern::print(std::string_view text) const { platform_.console.write(text); }

bool Halvern::CheckBundleIDandVersion(const std::string& path, bool log) {
    const auto info = platform_.bundles.infoDictionary(path);
    if (!info || info->string(texts::kBundleIdentifierKey) != texts::kLumaroBundleID) return false;
    // As root, a bundle that another user could change is no viewer: what is
    // written through the link would land wherever that user pointed it.
    if (platform::Status trusted = platform_.fileSystem.trustForRoot(path); !trusted.ok()) {
        if (log) print(Format(texts::kUntrustedBundle, path.c_str(), trusted.localizedDescription().c_str()));
        return false;
    }
    if (log) print(Format(texts::kObtainedBundleFor, path.c_str()));

    // An absent value is shown as "(null)", as the platform's own formatting of a
    // missing string does.
    const std::optional<std::string> version = info->string(texts::kBundleVersionKey);
    if (log) print(Format(texts::kObtainedVersion, version ? version->c_str() : "(null)"));
    const std::optional<std::string> track = info->string(texts::kTrackNameKey);
    if (log) print(Format(texts::kObtainedTrack, track ? track->c_str() : "(null)"));

    if (track != texts::kRequiredTrack) {
        if (log) {
            std::string reason = ReplaceOccurrences(localizedString(texts::kKeyLumaroTrackNameMismatch),
                                                    texts::kChannelNamePlaceholder, texts::kRequiredTrack);
            platform_.systemLog.log(reason);
            setMsgDialogueText(std::move(reason));
        }
        return false;
    }

    // A version outside the rule (absent, fewer than three components, a
    // component beyond 32 bits) counts as too low: it cannot be shown to be at
    // least the minimum.
    const std::vector<std::string> components = ComponentsSeparatedByString(version.value_or(""), ".");
    if (version && components.size() >= 3) {
        const auto major = LeadingInt32(components[0]);
        const auto minor = LeadingInt32(components[1]);
        const auto patch = LeadingInt32(components[2]);
        if (major && minor && patch) {
            if (*major > texts::kMinimumMajor) return true;
            if (*major == texts::kMinimumMajor &&
                CompareMinorVersionReturnTrueIfGreaterOrEqual(*minor, *patch, texts::kMinimumMinor,
                                                              texts::kMinimumPatch)) {
                return true;
            }
        }
    }

    if (log) {
        std::string reason = localizedString(texts::kKeyLumaroVersionNumberLower);
        reason = ReplaceOccurrences(reason, texts::kChannelNamePlaceholder, texts::kRequiredTrack);
        reason = ReplaceOccurrences(reason, texts::kFullVersionPlaceholder, MinimumVersionText());
        platform_.systemLog.log(reason);
        setMsgDialogueText(std::move(reason));
    }
    return false;
}

namespace {

void RemoveProbeItem(platform::Platform& platform, const std::string& path) {
    if (platform::Status removed = platform.fileSystem.removeItem(path); !removed.ok()) {
        platform.console.write(
            Format(texts::kProbeRemovalError, path.c_str(), removed.localizedDescription().c_str()));
    }
}

// The applications that the system offers for the probe file, asked about in
// a private folder of this run: a fixed name in a shared folder could be taken
// by anyone. The probe file and its folder are gone again when this returns,
// whatever the answer. nullopt, after a line saying why, when there is no list.
std::optional<std::vector<std::string>> PDFHandlers(platform::Platform& platform,
                                                    const std::string& temporaryDirectory) {
    std::string folder;
    if (platform::Status made = platform.fileSystem.createPrivateFolder(temporaryDirectory, &folder); !made.ok()) {
        platform.console.write(Format(texts::kProbeNotCreated, made.localizedDescription().c_str()));
        return std::nullopt;
    }
    const std::string probe = StringByAppendingPathComponent(folder, texts::kProbeFileName);

    std::optional<std::vector<std::string>> handlers;
    platform::Status created = platform::Status::Ok();
    if (!platform.fileSystem.fileExists(probe)) created = platform.fileSystem.createEmptyFile(probe);
    if (!created.ok()) {
        platform.console.write(Format(texts::kProbeNotCreated, created.localizedDescription().c_str()));
    } else {
        handlers = platform.launchServices.applicationsForFile(probe);
        if (!handlers) platform.console.write(texts::kNoPDFHandler);
        RemoveProbeItem(platform, probe);
    }
    RemoveProbeItem(platform, folder);
    return handlers;
}

}  // namespace

bool Halvern::FindLumaro(std::optional<std::string>* destination) {
    const std::optional<std::string> temporaryDirectory = platform_.fileSystem.temporaryDirectory();
    if (!temporaryDirectory) {
        print(texts::kNoTemporaryDirectory);
        return false;
    }
    const std::optional<std::vector<std::string>> handlers = PDFHandlers(platform_, *temporaryDirectory);
    if (!handlers) return false;

    bool several = false;
    for (const std::string& handler : *handlers) {
        if (handler.empty()) continue;
        print(Format(texts::kPDFHandlerFound, handler.c_str()));
        if (!CheckBundleIDandVersion(handler, true)) continue;
        if (destination->has_value()) {
            several = true;
        } else {
            *destination = handler;
        }
    }
    return several;
}

namespace {

// Position 3 as the command-line installation uses it: an absolute path (or an
// empty one) exactly as given, a relative one appended to the working
// directory; nullopt when that directory cannot be determined.
std::optional<std::string> AbsoluteInitialPath(const char* given, const platform::FileSystem& fileSystem) {
    if (given[0] == '\0' || given[0] == '/') return std::string(given);
    const std::optional<std::string> workingDirectory = fileSystem.currentDirectoryPath();
    if (!workingDirectory) return std::nullopt;
    return StringByAppendingPathComponent(*workingDirectory, given);
}

}  // namespace

std::optional<std::string> Halvern::CLIInstallToDestination(std::optional<std::string> destination,
                                                            const std::optional<std::string>& source,
                                                            Arguments argv) {
    std::optional<std::string> candidate;

    if (argv.size() > 3 && argv[3] != nullptr) {
        // The lines about what the script provided quote it as given. A
        // relative path is made absolute here, once, and used so everywhere
        // after: a link's target text is read relative to the link's own folder.
        print(Format(texts::kInitialPath, argv[3]));
        const std::optional<std::string> absolute = AbsoluteInitialPath(argv[3], platform_.fileSystem);
        std::optional<std::string> path = absolute ? StringWithUTF8String(absolute->c_str()) : std::nullopt;
        if (path && platform_.fileSystem.fileExists(*path) && CheckBundleIDandVersion(*path, true)) {
            candidate = std::move(path);
        } else {
            print(Format(texts::kPreinstallNotLumaro, argv[3]));
        }
    }

    if (!candidate) {
        print(texts::kTryingFirstFound);
        FindLumaro(&destination);
        if (destination) {
            candidate = destination;
        } else {
            const std::optional<std::string>& pending = getMsgDialogueText();
            platform_.systemLog.log(pending && !pending->empty() ? *pending : LumaroNotFoundText());
        }
    }

    if (!candidate) return std::nullopt;
    print(Format(texts::kFoundValid, candidate->c_str()));

    if (!source || source->empty()) return candidate;

    platform::Status linked = platform_.fileSystem.createSymbolicLink(*source, *candidate);
    if (!linked.ok()) {
        print(Format(texts::kSymlinkFailure, source->c_str(), candidate->c_str()));
        print(Format(texts::kErrorDetail, linked.localizedDescription().c_str()));
        return std::nullopt;
    }
    return candidate;
}

std::optional<std::string> Halvern::GUIInstallToDestination(std::optional<std::string> destination,
                                                            const std::optional<std::string>& source, Arguments) {
    const bool several = FindLumaro(&destination);

    if (!destination) {
        // The built text is shown, not kept: msgDialogueText stays as it was.
        const std::optional<std::string>& pending = getMsgDialogueText();
        const std::string text = pending ? *pending : LumaroNotFoundText();
        const std::string title = localizedString(texts::kKeyVeldaneLumaro);
        ShowAlert(platform_, title, text, false);
        return std::nullopt;
    }

    if (!source || source->empty()) {
        // Nothing to link into: no panel even when there are several viewers.
        print(Format(texts::kFoundAt, destination->c_str()));
        return destination;
    }

    std::optional<std::string> chosen;
    int status;
    if (several) {
        status = obtainInstallPathFromUser(&chosen, *destination);
    } else {
        print(Format(texts::kFoundOnly, destination->c_str()));
        chosen = destination;
        status = 0;
    }
    if (!chosen || status != 0) return std::nullopt;

    platform::Status linked = platform_.fileSystem.createSymbolicLink(*source, *chosen);
    if (!linked.ok()) {
        print(Format(texts::kSymlinkFailure, source->c_str(), chosen->c_str()));
        print(Format(texts::kErrorDetail, linked.localizedDescription().c_str()));
        return std::nullopt;
    }
    return chosen;
}

int Halvern::obtainInstallPathFromUser(std::optional<std::string>* chosen, const std::string& initialPath) {
    int status = -1;
    print(texts::kOpeningPanel);

    std::string initial = initialPath;
    const std::string defaultLocation = texts::kDefaultLumaroLocation;
    if (!platform_.fileSystem.fileExists(defaultLocation)) {
        print(Format(texts::kNoneAtDefault, defaultLocation.c_str()));
    } else if (CheckBundleIDandVersion(defaultLocation, true)) {
        print(Format(texts::kFoundAtDefault, defaultLocation.c_str()));
        initial = defaultLocation;
    } else {
        // The rejection may have set msgDialogueText; nothing later reads it.
        print(Format(texts::kDefaultNotValid, defaultLocation.c_str()));
    }

    // The panel comes to the front by itself.
    platform::OpenPanelOptions options;
    options.delegate = this;
    options.message = localizedString(texts::kKeyChooseLumaro);
    options.title = localizedString(texts::kKeyVeldaneLumaro);
    options.directory = StringByDeletingLastPathComponent(initial);
    options.nameFieldStringValue = LastPathComponent(initial);
    options.allowedFileTypes = {texts::kAllowedFileType};

    // One run, no retry: whatever the user answers ends the choice. The choice
    // is not validated again; the panel offers only what the filter showed.
    if (platform_.openPanel.runModal(options) == platform::OpenPanel::kOKButton) {
        const std::vector<std::string> urls = platform_.openPanel.URLs();
        if (!urls.empty()) {
            print(Format(texts::kChosenInPanel, urls.front().c_str()));
            *chosen = urls.front();
            status = 0;
        }
    }
    return status;
}

bool Halvern::panelShouldShowFilename(platform::OpenPanel&, const std::string& filename) {
    const std::string_view suffix = ".app";
    if (filename.size() >= suffix.size() && filename.compare(filename.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return CheckBundleIDandVersion(filename, false);
    }
    // Folders and every other entry stay visible; the allowed type decides what
    // can be chosen.
    return true;
}

bool g_stopTheRunLoop = false;

void Halvern::checkLumaroRunningAndInstallIfNotRunning(bool commandLine, const std::string& installPath) {
    using namespace std::chrono_literals;
    const TimerUserInfo userInfo{
        {texts::kTimerTitle, localizedString(texts::kKeyVeldaneLumaro)},
        {texts::kTimerGUIorCLI, commandLine ? texts::kCLI : texts::kGUI},
        {texts::kTimerInstallPath, installPath},
    };
    platform::RunLoop& runLoop = platform_.runLoop;
    runLoop.scheduleTimer(2.0s, [this, userInfo] { detectLumaroAndInstall(userInfo); });

    // Before the loop first runs, so that heartbeats arriving during the delay
    // are recorded.
    StartTolmHeartbeatObserver();
    g_stopTheRunLoop = false;

    // The check ends the process; the loop only keeps the run loop running until
    // then. The keep-alive timer makes sure each pass has something to wait for.
    bool couldRun;
    do {
        const platform::Clock::TimePoint limit =
            platform_.clock.now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(2.0s);
        runLoop.scheduleTimer(1.0s, [this] { doNothing(); });
        couldRun = runLoop.runOnce(limit);
    } while (couldRun && !g_stopTheRunLoop);
}

void Halvern::doNothing() {}

namespace {

// The name of the process that hosts a running instance: the record's host
// display name (empty when the record has none), or the scan's name itself.
std::string HostDisplayName(const RunningInstance& instance) {
    if (const auto* record = std::get_if<std::shared_ptr<const HeartbeatRecord>>(&instance)) {
        if (*record) {
            const auto name = (*record)->find(kUserInfoHostDisplayName);
            if (name != (*record)->end()) return name->second;
        }
        return "";
    }
    return std::get<std::string>(instance);
}

std::string Value(const Halvern::TimerUserInfo& userInfo, const char* key) {
    const auto it = userInfo.find(key);
    return it == userInfo.end() ? std::string() : it->second;
}

}  // namespace

void Halvern::detectLumaroAndInstall(const TimerUserInfo& userInfo) {
    const std::string mode = Value(userInfo, texts::kTimerGUIorCLI);
    const std::string installPath = Value(userInfo, texts::kTimerInstallPath);
    const std::string title = Value(userInfo, texts::kTimerTitle);

    int status = 1;  // 1: query again
    while (status == 1) {
        const RunningInstanceList instances = GetBeatingProcesses(installPath);
        status = 0;
        // Heartbeat records start at entry 0; the scan's names at entry 1, after
        // its primary entry. Only the first instance is examined.
        const bool heartbeatShape = IsHeartbeatShape();
        if (!heartbeatShape && instances.empty()) {
            // Not even a primary entry: the scan could not list the running
            // applications (or was cut short before it found any), so nothing
            // may be concluded.
            print(texts::kCannotLookForInstances);
            status = -1;
            break;
        }
        const size_t first = heartbeatShape ? 0 : 1;
        if (instances.size() <= first) break;

        const std::string name = HostDisplayName(instances[first]);
        const bool standAlone = name == texts::kStandAloneName;
        if (mode == texts::kCLI) {
            status = -1;
            print(standAlone ? texts::kRunningCLI : texts::kRunningInBrowserCLI);
        } else if (mode == texts::kGUI) {
            int answer;
            if (standAlone) {
                print(texts::kRunningGUI);
                answer = ShowAlert(platform_, title, localizedString(texts::kKeyLumaroRunningStandAlone), true);
            } else {
                print(texts::kRunningInBrowserGUI);
                const std::string text = ReplaceOccurrences(localizedString(texts::kKeyLumaroRunningBrowser),
                                                            texts::kHostNamePlaceholder, name);
                answer = ShowAlert(platform_, title, text, true);
            }
            if (answer == platform::Alert::kFirstButton) {
                print(texts::kUserChoseRetry);
                status = 1;
            } else {
                // Cancel (1001). The alert has no other answer; should one
                // come, it must not count as success while the viewer runs.
                print(texts::kUserChoseCancel);
                status = -1;
            }
        }
    }

    StopTolmHeartbeatObserver();
    g_stopTheRunLoop = true;
    platform_.runLoop.stop();
    platform_.process.exit(status);
}

int Halvern::runApp(int argc, char* const* argv) {
    if (argc < 5) {
        print(texts::kInsufficientArguments);
        return -1;
    }
    const Arguments arguments(argv, static_cast<size_t>(argc));

    if (std::strcmp(argv[1], "1") == 0) {
        // A pack link path that is not UTF-8 gives no string: no link is made.
        const std::optional<std::string> source = StringWithUTF8String(argv[2]);
        const std::optional<std::string> installPath = CLIInstallToDestination(std::nullopt, source, arguments);
        if (!installPath) {
            print(texts::kCLIInstallFailure);
            return -1;
        }
        if (std::strcmp(argv[4], "1") == 0) {
            // Ends the process itself; should it return, the installation stands.
            checkLumaroRunningAndInstallIfNotRunning(true, *installPath);
        }
        return 0;
    }
    if (std::strcmp(argv[1], "0") == 0) {
        // The delegate that the framework calls once it has launched; the
        // graphical installation and the wait end the process from there.
        HalvernAppDelegate delegate(platform_);
        const platform::Status started = platform_.application.main(argc, argv, delegate);
        if (!started.ok()) print(Format(texts::kErrorDetail, started.localizedDescription().c_str()));
        return -1;
    }
    print(texts::kInvalidArgument);
    return -1;
}

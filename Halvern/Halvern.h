#pragma once
// The installer object: entry, validation and search of the viewer bundle, the
// command-line and graphical installations, and the wait for running viewers.

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Platform.h"

// True when the pair (a, b) is greater than or equal to (c, d) in lexicographic order.
bool CompareMinorVersionReturnTrueIfGreaterOrEqual(int a, int b, int c, int d);

// False while the wait for running viewers may go on; set by the running-instance
// check just before it stops the run loop and ends the process.
extern bool g_stopTheRunLoop;

class Halvern : public platform::OpenPanelDelegate {
public:
    // The argument vector as main received it: argv[0] .. argv[argc - 1].
    using Arguments = std::span<char* const>;

    explicit Halvern(platform::Platform& platform) : platform_(platform) {}

    // --- Finding a valid viewer ------------------------------------------------
    // True when the bundle at path has the viewer's identifier, the required track
    // and at least the minimum version. With log on, prints its steps and, on a
    // track or version failure, leaves the reason in msgDialogueText and the
    // system log; with log off it is silent and touches no state.
    bool CheckBundleIDandVersion(const std::string& path, bool log);

    // Searches the applications that the system offers for PDF files. Stores the
    // first valid viewer in *destination when it holds nothing (never overwrites
    // a path). True when a valid viewer was found while *destination already held
    // a path: starting from nothing, true means at least two valid viewers.
    bool FindLumaro(std::optional<std::string>* destination);

    // --- Installations -----------------------------------------------------------
    // Settles the viewer (position 3 of argv, else the first one the system
    // offers), links it at source when source is not empty, and returns its path;
    // nullopt when no valid viewer was found or the link failed.
    std::optional<std::string> CLIInstallToDestination(std::optional<std::string> destination,
                                                       const std::optional<std::string>& source,
                                                       Arguments argv);

    // Graphical twin of CLIInstallToDestination: searches the valid viewers (an
    // alert when there is none), lets the user choose one in the panel when there
    // are several and source is not empty, and links it at source. Returns the
    // viewer's path; nullopt when none was found, the user cancelled, or the link
    // failed. argv is not read.
    std::optional<std::string> GUIInstallToDestination(std::optional<std::string> destination,
                                                       const std::optional<std::string>& source,
                                                       Arguments argv);

    // Opens the viewer choice panel at the default location when it holds a valid
    // viewer, else at initialPath. Returns 0 and stores the chosen path in
    // *chosen when the user chose; -1, with *chosen untouched, otherwise.
    int obtainInstallPathFromUser(std::optional<std::string>* chosen, const std::string& initialPath);

    // The panel's filter: an entry ending in ".app" is shown only when it is a
    // valid viewer (checked silently); every other entry is shown.
    bool panelShouldShowFilename(platform::OpenPanel& panel, const std::string& filename) override;

    // --- The wait for running viewers ----------------------------------------------
    // The user info of the check's timer: "title", "GUIorCLI", "installPath".
    using TimerUserInfo = std::map<std::string, std::string>;

    // Schedules the running-instance check 2.0 s ahead, starts the heartbeat
    // observer and runs the run loop in passes of at most 2.0 s, each with a
    // fresh 1.0 s keep-alive timer, until the check ends the process. Returns
    // only if the run loop cannot run.
    void checkLumaroRunningAndInstallIfNotRunning(bool commandLine, const std::string& installPath);

    // The keep-alive timers' action: nothing. The timers only make sure the run
    // loop always has something to wait for.
    void doNothing();

    // The running-instance check. Command line: a running viewer fails the
    // installation at once. Graphical: the user is asked to quit it, with Retry
    // querying again at once and Cancel failing. Ends the process: 0 when no
    // instance runs, -1 (255) otherwise, and also -1, with one line, when no
    // heartbeat names the viewer and the scan could not look everywhere.
    void detectLumaroAndInstall(const TimerUserInfo& userInfo);

    // --- Entry ---------------------------------------------------------------------
    // Checks the arguments and runs the chosen mode. Returns 0 or -1 in
    // command-line mode; the graphical mode and the wait end the process themselves.
    int runApp(int argc, char* const* argv);

    // --- State and texts -------------------------------------------------------------
    void setMsgDialogueText(std::optional<std::string> text) { msgDialogueText = std::move(text); }
    const std::optional<std::string>& getMsgDialogueText() const { return msgDialogueText; }

    // The "Localizable" table's text for key, or key itself when there is none.
    std::string localizedString(std::string_view key) const;

    // The minimum viewer version as text, 17.8.30051.
    static std::string MinimumVersionText();

    // The "LumaroNotFound" text with its placeholders filled.
    std::string LumaroNotFoundText() const;

    platform::Platform& platform() const { return platform_; }

private:
    void print(std::string_view text) const;

    platform::Platform& platform_;
    std::optional<std::string> msgDialogueText;
};

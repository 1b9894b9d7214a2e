#pragma once
// Every fixed text of the installer in one place: the keys of the "Localizable"
// table, the lines printed for the package scripts, identifiers and paths.
// Lines that carry a printf-style %s are formatted with Format() (Halvern.h).

namespace texts {

// --- The viewer and the rule that accepts it ---------------------------------
inline constexpr const char* kLumaroBundleID = "com.veldane.Lumaro";
inline constexpr const char* kRequiredTrack = "2017";
inline constexpr int kMinimumMajor = 17;
inline constexpr int kMinimumMinor = 8;
inline constexpr int kMinimumPatch = 30051;
inline constexpr const char* kVersionFormat = "%d.%d.%d";
inline constexpr const char* kTrackNameKey = "TrackName";
inline constexpr const char* kBundleVersionKey = "CFBundleVersion";
inline constexpr const char* kBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kDefaultLumaroLocation = "/Applications/Veldane Lumaro.app";
inline constexpr const char* kStandAloneName = "Veldane Lumaro";
inline constexpr const char* kProbeFileName = "TempFileForLangPack.pdf";

// --- Placeholders ------------------------------------------------------------
inline constexpr const char* kChannelNamePlaceholder = "@CHANNEL_NAME@";
inline constexpr const char* kFullVersionPlaceholder = "@FULLVERSIONNUMBER@";
inline constexpr const char* kHostNamePlaceholder = "%s";

// --- Keys of the "Localizable" table ------------------------------------------
inline constexpr const char* kKeyRetry = "Retry";
inline constexpr const char* kKeyCancel = "Cancel";
inline constexpr const char* kKeyOK = "OK";
inline constexpr const char* kKeyVeldaneLumaro = "Veldane Lumaro";
inline constexpr const char* kKeyLumaroNotFound = "LumaroNotFound";
inline constexpr const char* kKeyLumaroTrackNameMismatch = "LumaroTrackNameMismatch";
inline constexpr const char* kKeyLumaroVersionNumberLower = "LumaroVersionNumberLower";
inline constexpr const char* kKeyChooseLumaro = "ChooseLumaro";
inline constexpr const char* kKeyLumaroRunningStandAlone = "LumaroRunningStandAlone";
inline constexpr const char* kKeyLumaroRunningBrowser = "LumaroRunningBrowser";

// --- Lines of the entry point --------------------------------------------------
inline constexpr const char* kInsufficientArguments =
    "Halvern:ERROR: Insufficient number of command line arguments.\n";
inline constexpr const char* kInvalidArgument = "Halvern:ERROR: Invalid command line argument.\n";
inline constexpr const char* kCLIInstallFailure =
    "Could not obtain the installation path from command line install. Installation failure.\n";

// --- Lines of the validation and the search ----------------------------------
inline constexpr const char* kObtainedBundleFor =
    "Obtained the bundle for %s ID as com.veldane.Lumaro. Now checking the bundle version.\n";
inline constexpr const char* kObtainedVersion = "Obtained the bundle version as %s\n";
inline constexpr const char* kObtainedTrack = "Obtained the bundle track as %s\n";
inline constexpr const char* kUntrustedBundle =
    "Halvern:ERROR: The application (%s) is not trusted when installing as root: %s.\n";
inline constexpr const char* kNoTemporaryDirectory =
    "error: FindLumaro:: Unable to determine user's temporary directory.\n";
inline constexpr const char* kNoPDFHandler = "No PDF handler found by the OS.\n";
// No line end: the next output continues on the same line.
inline constexpr const char* kProbeRemovalError = "FindLumaro:: Error while trying to remove file(%s), error: %s";
inline constexpr const char* kPDFHandlerFound = "PDF Handler found: %s.\n";
// The probe file, or the private folder that holds it, could not be made: the
// system cannot be asked, as when it has no list. %s names the path and reason.
inline constexpr const char* kProbeNotCreated = "error: FindLumaro:: Unable to create the probe file: %s\n";

// --- Lines of the command-line installation -----------------------------------
inline constexpr const char* kInitialPath = "The initial path provided in the preinstall script is %s.\n";
inline constexpr const char* kPreinstallNotLumaro =
    "Halvern:ERROR: The application (%s) specified by preinstall is not Veldane Lumaro Next.\n";
inline constexpr const char* kTryingFirstFound = "Trying to upgrade the first Veldane Lumaro Next found by the OS.\n";
inline constexpr const char* kFoundValid = "Found a valid Veldane Lumaro Next at %s.\n";
inline constexpr const char* kSymlinkFailure =
    "Halvern:ERROR: Could not create symbolic link from %s to %s. Installation failure.\n";
inline constexpr const char* kErrorDetail = "Halvern:ERROR: %s\n";

// --- Lines of the graphical installation and the viewer choice panel ----------
inline constexpr const char* kGUIInstallFailure =
    "Could not obtain a valid Lumaro application to install into. Installation failure.\n";
inline constexpr const char* kFoundOnly = "Found the only Veldane Lumaro Next at location %s\n";
inline constexpr const char* kFoundAt = "Found Veldane Lumaro Next at location %s\n";
inline constexpr const char* kOpeningPanel = "Opening a panel for user to choose the Lumaro.\n";
inline constexpr const char* kNoneAtDefault =
    "No Veldane Lumaro Next found at %s. Opening the panel with the first Veldane Lumaro Next found\n";
inline constexpr const char* kFoundAtDefault = "Found Veldane Lumaro Next at default location %s\n";
inline constexpr const char* kDefaultNotValid = "The default application %s is not a valid Veldane Lumaro Next.\n";
inline constexpr const char* kChosenInPanel = "The file chosen in panel is %s.\n";
inline constexpr const char* kAllowedFileType = "app";

// --- Lines of the wait for running viewers -------------------------------------
inline constexpr const char* kRunningCLI =
    "Halvern:ERROR: There is an instance of Veldane Lumaro running. Installation failure.\n";
inline constexpr const char* kRunningInBrowserCLI =
    "Halvern:ERROR: There is an instance of Veldane Lumaro running inside a browser. Installation failure.\n";
inline constexpr const char* kRunningGUI = "Veldane Lumaro is running.\n";
inline constexpr const char* kRunningInBrowserGUI = "Veldane Lumaro is running inside a browser.\n";
inline constexpr const char* kUserChoseRetry = "User chose Retry.\n";
inline constexpr const char* kUserChoseCancel = "User chose Cancel.\n";
inline constexpr const char* kTimerTitle = "title";
inline constexpr const char* kTimerGUIorCLI = "GUIorCLI";
inline constexpr const char* kTimerInstallPath = "installPath";
inline constexpr const char* kCLI = "CLI";
inline constexpr const char* kGUI = "GUI";

// --- Running-instance detection (the named k constants are in TolmHeartbeat.h) ----
inline constexpr const char* kSystemVersionPath = "/System/Library/CoreServices/SystemVersion.plist";
inline constexpr const char* kProductVersionKey = "ProductVersion";
inline constexpr const char* kVersionSeparator = ".";
inline constexpr const char* kFullProductBundleName = "Veldane Quorvo.app";
inline constexpr const char* kPreferencesFolderName = "Preferences";
inline constexpr const char* kPlistExtension = "plist";
inline constexpr const char* kUtilitiesFolderName = "Utilities";
inline constexpr const char* kApplicationManagerName = "Veldane Application Manager";
inline constexpr const char* kManagerCoreFolderName = "core";
inline constexpr const char* kManagerLibraryName = "VeldaneOstrel.dylib";
inline constexpr const char* kManagerStatusFunction = "ostrel_getZEVDeploymentValidationStatus";
inline constexpr int kManagerRunningStatus = -3;
inline constexpr int kMajorVersionWithTrack = 15;
// Printed once when heartbeats cannot be observed (no message bus at the start,
// a bus lost during the wait); the scan of running applications decides then.
inline constexpr const char* kHeartbeatsNotObserved =
    "Heartbeats could not be observed, so the running applications are scanned instead: %s\n";
inline constexpr const char* kHeartbeatsLost =
    "Heartbeats can no longer be observed, so the running applications are scanned instead: %s\n";
// The scan could not list the running applications either: nothing was looked at.
inline constexpr const char* kCannotLookForInstances =
    "Halvern:ERROR: Could not find out whether Veldane Lumaro is running: the running applications could not be "
    "listed. Installation failure.\n";

}  // namespace texts

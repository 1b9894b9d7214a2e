#pragma once
// What the graphical mode settles before GTK starts, so that it ends only with
// 0 or 255 and leaves standard error to nobody:
//
// - GLib's and GTK's messages (warnings about the locale, missing icons, ...)
//   go to the system log under the program's name, never to standard error
//   or standard output. A fatal one ends the run with one line and status 255
//   instead of a signal.
// - Settings live in memory for the run: the panel's choices are not stored,
//   and no settings backend writes files for a root process.
// - The open panel's settings schema is the system's when it has one, else the
//   copy compiled into the program's own bundle. As root, the schema folder of
//   the caller's environment is never used.

#include <string>

namespace platform {

// Sends every GLib message, and what GLib would print on standard error, to
// the system log. Call once, before GTK starts.
void RouteGLibMessagesToSystemLog();

// Sets the environment that GSettings reads; bundleSchemas is the folder of the
// schema that the program ships. Call before anything uses GSettings.
void PrepareSettings(bool root, const std::string& bundleSchemas);

// The folder of the shipped schema: Contents/Resources/schemas of the bundle
// that holds this module; empty when the module cannot tell where it lies.
std::string BundleSchemaFolder();

// Ends the process the way every failed run ends: "Halvern:ERROR: " and line
// on standard output, status -1 (255). Safe from any thread and from Xlib's
// error handler.
[[noreturn]] void EndGraphicalRun(const std::string& line);

}  // namespace platform

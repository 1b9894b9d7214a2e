#pragma once
// The process environment, made safe before any library reads it.

namespace platform {

// Called first thing in main, before GLib, GIO, GTK or GDK is first used. When
// the effective user is root, removes every variable that would make those
// libraries (or the C library under them) load code from a path that the
// caller chose, and keeps the accessibility bridge, which talks D-Bus through
// a second library, from loading. Does nothing for any other user. The list is
// in docs/halvern.md ("What Halvern trusts when it runs as root").
void ClearModuleVariablesWhenRoot();

}  // namespace platform

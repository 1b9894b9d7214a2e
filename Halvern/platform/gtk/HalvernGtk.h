#pragma once
// The boundary between the program and its graphical module, HalvernGtk.so.
//
// The command-line mode runs as root inside package installation and must not
// load GTK, so the GTK implementations of the graphical services live in a
// module of their own, inside the application bundle, that the program opens
// with dlopen only when the graphical mode starts. This header is all that the
// program and the module share; it includes no GTK header.
//
// The module is built with the same compiler and C++ library as the program and
// hands out C++ objects through one C function; the version number guards
// against a module from another build.

#include "platform/Alert.h"
#include "platform/Application.h"
#include "platform/OpenPanel.h"

namespace platform {

struct GtkServices {
    Application& application;
    Alert& alert;
    OpenPanel& openPanel;
};

inline constexpr int kGtkModuleVersion = 1;
// Where the module lies, relative to the main bundle (the Halvern.app folder).
inline constexpr const char* kGtkModulePath = "Contents/PlugIns/HalvernGtk.so";
inline constexpr const char* kGtkServicesSymbol = "HalvernGtkServices";

}  // namespace platform

// The module's services, created on the first call and alive until the process
// ends; nullptr when version is not the module's kGtkModuleVersion.
extern "C" platform::GtkServices* HalvernGtkServices(int version);
using HalvernGtkServicesFunction = platform::GtkServices* (*)(int version);

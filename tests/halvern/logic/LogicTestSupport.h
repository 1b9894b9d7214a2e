#pragma once
// Shared set-up of the logic tests: a Halvern on a fresh set of fakes, and texts
// for the "Localizable" table whose placeholders are easy to check.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakePlatform.h"
#include "Halvern.h"

inline constexpr const char* kLumaro = "/Applications/Veldane Lumaro.app";

// Texts that carry every placeholder, so a test sees which ones were filled.
inline constexpr const char* kTrackText = "track @CHANNEL_NAME@ / @FULLVERSIONNUMBER@";
inline constexpr const char* kVersionText = "version @CHANNEL_NAME@ / @FULLVERSIONNUMBER@";
inline constexpr const char* kNotFoundText = "none @CHANNEL_NAME@ / @FULLVERSIONNUMBER@";
inline constexpr const char* kTrackReason = "track 2017 / @FULLVERSIONNUMBER@";
inline constexpr const char* kVersionReason = "version 2017 / 17.8.30051";
inline constexpr const char* kNotFoundReason = "none 2017 / 17.8.30051";

class HalvernTest : public ::testing::Test {
protected:
    void UseTexts() {
        fake.strings.entries = {{"LumaroTrackNameMismatch", kTrackText},
                                {"LumaroVersionNumberLower", kVersionText},
                                {"LumaroNotFound", kNotFoundText}};
    }
    // The three lines that the validation prints for a bundle with the viewer's
    // identifier.
    static std::vector<std::string> ValidationLines(const std::string& path, const std::string& version,
                                                    const std::string& track) {
        return {"Obtained the bundle for " + path + " ID as com.veldane.Lumaro. Now checking the bundle version.",
                "Obtained the bundle version as " + version, "Obtained the bundle track as " + track};
    }

    FakePlatform fake;
    Halvern halvern{fake.view};
};

// An argument vector as main receives it, argv[argc] being a null pointer.
class Argv {
public:
    Argv(std::initializer_list<std::string> arguments) : storage_(arguments) {
        for (std::string& argument : storage_) pointers_.push_back(argument.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage_.size()); }
    char* const* argv() const { return pointers_.data(); }
    Halvern::Arguments span() const { return Halvern::Arguments(pointers_.data(), storage_.size()); }

private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

// Appends lines to a list of expected lines.
inline void Append(std::vector<std::string>& lines, const std::vector<std::string>& more) {
    lines.insert(lines.end(), more.begin(), more.end());
}

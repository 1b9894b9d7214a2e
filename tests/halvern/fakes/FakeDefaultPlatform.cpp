// In unit tests, logic that reaches for the default platform gets the fakes.

#include "FakePlatform.h"

FakePlatform& DefaultFakePlatform() {
    static FakePlatform sPlatform;
    return sPlatform;
}

platform::Platform& platform::DefaultPlatform() { return DefaultFakePlatform().view; }

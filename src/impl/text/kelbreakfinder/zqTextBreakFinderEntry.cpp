// The plug-in's one C entry point.

#include "zqTextBreakFinder.h"
#include "zqTextKelBreakFinder.h"

// The ordinary new-expression: if the constructor throws, the storage is
// released and the exception goes on to the host; nothing here catches it.
extern "C" zqTextBreakFinder* zqTextBreakFinderEntry(const char* localeName)
{
    return new zqTextKelBreakFinder(localeName);
}

// The interface's destructor is pure, so that the class stays abstract, yet it
// needs a body: every derived destructor ends by calling it.

#include "zqTextBreakFinder.h"

zqTextBreakFinder::~zqTextBreakFinder() {}

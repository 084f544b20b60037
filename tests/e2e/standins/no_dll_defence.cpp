// Links in place of the updater's DLL search restriction to make a variant
// that has none: the negative control that shows the planted-DLL case can
// fail. Test-only; never shipped.
#include "dll_search.h"

void RestrictDllSearch() {}

// Where the updater's process looks for DLLs that are loaded by bare name.
#ifndef UPDATER_DLL_SEARCH_H_
#define UPDATER_DLL_SEARCH_H_

// Takes the updater's own folder and the current folder out of the DLL
// search, before anything can load a DLL by bare name (the error box loads
// several). The updater's folder is the application's, which the user may
// write to, while the updater may run elevated: a DLL planted there must
// not run with its rights.
//
// Needs: nothing. Leaves: on Windows that has SetDefaultDllDirectories,
// the search limited to the system folder; elsewhere, the current folder
// out of it (the best the older call can do). Nothing is reported.
void RestrictDllSearch();

#endif  // UPDATER_DLL_SEARCH_H_

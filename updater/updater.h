// The updater's own control flow: wait for the main application to end, run
// the update installer silently, start the main application again.
#ifndef UPDATER_UPDATER_H_
#define UPDATER_UPDATER_H_

#include <windows.h>

// The entry routine, called by the runtime in the WinMain manner. All four
// arguments are ignored: the installer's path is the raw command line.
//
// Needs: a command line that is the installer's bare path. Leaves: the
// started processes' handles open (the platform closes them at exit), no
// mutex, no file. Returns 0 on every path.
int WINAPI RunUpdate(HINSTANCE instance, HINSTANCE previous_instance,
                     LPSTR command_tail, int show_command);

// Returns once a probe of the mutex "Zelvaro" no longer finds it existing,
// probing every 300 ms without limit.
//
// Needs: nothing. Leaves: every probe's handle closed; the mutex is never
// kept beyond one probe.
void WaitForMainExit();

#endif  // UPDATER_UPDATER_H_

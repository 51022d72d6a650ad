// SessionEnd: brings the end of the desktop session to the main window.
// Qt's commit-data request (the session manager asks whether the session may
// end) runs the window's close-query path; SIGTERM and SIGHUP (the session
// or the system stopping the program) run its end-session path on the
// window's thread, through a self-pipe into the event loop, and then end the
// event loop. Neither closes a window on the way out.
// Window thread only.
#pragma once

namespace tamlix::brindlemoss {

class TFormMain;

// Catches SIGTERM and SIGHUP into the self-pipe; call it early, so that a
// signal that comes while the program starts up waits for the event loop.
// Once per process; later calls do nothing.
void InstallStopSignals();

// Routes both to `form` for as long as it lives (installs the signal
// handlers when that has not happened yet).
void ConnectSessionEnd(TFormMain& form);

}  // namespace tamlix::brindlemoss

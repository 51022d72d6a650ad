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

// Routes both to `form` for as long as it lives. The signal handlers are
// installed once per process, at the first call.
void ConnectSessionEnd(TFormMain& form);

}  // namespace tamlix::brindlemoss

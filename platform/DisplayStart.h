// DisplayStart: the start of a windowed program without a display (run from
// cron, ssh or a service). Qt ends a program whose windowing platform cannot
// start with an abort and a core dump; while a TDisplayStart lives, that
// becomes one line on standard error, "<program>: cannot open a display:
// <reason>", and exit code 1, and the platform's own messages of the
// attempt are held back (given to the previous message handler once the
// start succeeded). Construct it just before the application object and
// destroy it right after. Main thread only; one at a time.
#pragma once

#include <string>

namespace tamlix::platform {

class TDisplayStart {
 public:
  explicit TDisplayStart(std::string program);
  ~TDisplayStart();
  TDisplayStart(const TDisplayStart&) = delete;
  TDisplayStart& operator=(const TDisplayStart&) = delete;
};

}  // namespace tamlix::platform

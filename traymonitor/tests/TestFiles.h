// Files as the window's and the program's tests read and write them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tamlix::brindlemoss::test {

std::optional<std::string> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// The lines of the log file at `path` without their time stamps; flags a
// line that does not end with CR LF.
std::vector<std::string> LogMessages(const std::string& path);

}  // namespace tamlix::brindlemoss::test

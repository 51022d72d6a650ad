#include "TestFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace tamlix::brindlemoss::test {

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> LogMessages(const std::string& path) {
  std::vector<std::string> messages;
  const auto text = ReadFile(path);
  if (!text) return messages;
  std::string rest = *text;
  for (size_t end; (end = rest.find("\r\n")) != std::string::npos; rest.erase(0, end + 2)) {
    const std::string line = rest.substr(0, end);
    const size_t stamp = line.rfind("  -  ");
    messages.push_back(stamp == std::string::npos ? line : line.substr(0, stamp));
  }
  EXPECT_EQ(rest, "") << "every log line ends with CR LF";
  return messages;
}

}  // namespace tamlix::brindlemoss::test

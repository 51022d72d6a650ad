// The test switch as the core's reply tests start it: one process per test,
// with the behaviour named by the helpers below.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TestSwitch.h"

namespace tamlix::core::testing {

struct SwitchSpec {
  std::vector<std::string> args;
  std::string file_reply;  // written to a file for --reply-file when set
  bool has_file = false;
};

inline SwitchSpec ReplyWith(std::string text) { return {{"--reply", std::move(text)}}; }
inline SwitchSpec ReplyWithFile(std::string bytes) { return {{}, std::move(bytes), true}; }
inline SwitchSpec ReplyAfter(std::string text, int ms) {
  return {{"--reply", std::move(text), "--delay-ms", std::to_string(ms)}};
}
inline SwitchSpec ReplyInPieces(std::string text, int pieces, int pause_ms) {
  return {{"--reply", std::move(text), "--pieces", std::to_string(pieces), "--pause-ms", std::to_string(pause_ms)}};
}
inline SwitchSpec Oversize(size_t bytes) { return {{"--oversize", std::to_string(bytes)}}; }
inline SwitchSpec NeverReply() { return {{"--silent"}}; }
inline SwitchSpec CloseWithoutReply() { return {{"--close"}}; }
inline SwitchSpec Echo() { return {{"--echo"}}; }
inline SwitchSpec PlainTcp() { return {{"--plain"}}; }

class SwitchProcess {
 public:
  explicit SwitchProcess(SwitchSpec spec) {
    if (spec.has_file) {
      file_ = std::filesystem::temp_directory_path() /
              ("corereply." + std::to_string(::getpid()) + "." + std::to_string(++counter_));
      std::ofstream(file_, std::ios::binary) << spec.file_reply;
      spec.args.push_back("--reply-file");
      spec.args.push_back(file_.string());
    }
    switch_ = std::make_unique<tamlix::testing::TestSwitch>(spec.args);
  }
  ~SwitchProcess() {
    switch_.reset();
    if (!file_.empty()) std::filesystem::remove(file_);
  }
  int port() const { return switch_->port(); }
  // Request k, counted from 0.
  std::string Request(int k) const { return switch_->Request(k + 1); }
  int RequestCount() const { return switch_->RequestCount(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path file_;
  std::unique_ptr<tamlix::testing::TestSwitch> switch_;
};

}  // namespace tamlix::core::testing

// daskel-segment run through the shell in a scratch folder: its exit status, what it printed,
// and the files it left.
#ifndef DASKEL_TESTS_TOOL_TOOL_RUN_HPP
#define DASKEL_TESTS_TOOL_TOOL_RUN_HPP

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tool/scratch_folder.hpp"
#include "tools/daskel-segment/png_io.hpp"

namespace daskel::tool::testing {

// The bytes of the file at `path`; empty for none.
inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class Tool : public ScratchFolder {
 protected:
  // Runs the tool with `args`, shell words (redirections included), and `feed` (shell words
  // too) piped into its standard input where given; returns its exit status and keeps its stdout
  // and stderr.
  int run(const std::string& args, const std::string& feed = "") {
    const std::string command = (feed.empty() ? "" : feed + " | ") + "'" + DASKEL_SEGMENT_TOOL +
                                "' " + args + " >'" + at("stdout.txt") + "' 2>'" +
                                at("stderr.txt") + "'";
    const int status = std::system(command.c_str());
    out_ = slurp(at("stdout.txt"));
    err_ = slurp(at("stderr.txt"));
    std::filesystem::remove(at("stdout.txt"));
    std::filesystem::remove(at("stderr.txt"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The file `name` in the folder, quoted for the shell.
  std::string quoted(const std::string& name) const { return "'" + at(name) + "'"; }

  void writeGrey(const std::string& name, int32_t rows, int32_t cols,
                 const std::vector<float>& values) {
    std::vector<uint8_t> samples(values.size());
    for (std::size_t p = 0; p < values.size(); ++p) {
      samples[p] = static_cast<uint8_t>(std::lround(values[p] * 255.0f));
    }
    std::string error;
    StagedFile file;
    ASSERT_TRUE(file.open(at(name), error)) << error;
    ASSERT_TRUE(writePng(file, rows, cols, 1, samples, error)) << error;
    ASSERT_TRUE(file.commit(error)) << error;
  }

  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string out_;
  std::string err_;
};

}  // namespace daskel::tool::testing

#endif  // DASKEL_TESTS_TOOL_TOOL_RUN_HPP

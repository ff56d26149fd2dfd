// daskel-segment with standard error on a terminal: the rounds go to a progress line, rewritten
// in place and cleared at the end; elsewhere they stay lines of the report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "tests/tool/image_files.hpp"
#include "tests/tool/tool_run.hpp"
#include "tools/daskel-segment/png_io.hpp"

namespace daskel::tool {
namespace {

using Terminal = testing::Tool;

// Runs the tool with standard error on a new pseudo-terminal and standard output to a file;
// returns the exit status and keeps both.
int runOnTerminal(const std::vector<std::string>& args, const std::string& outFile,
                  std::string& terminalText, std::string& out) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  const std::string slave = ptsname(master);
  std::vector<std::string> words = {DASKEL_SEGMENT_TOOL};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    const int terminal = open(slave.c_str(), O_RDWR | O_NOCTTY);
    dup2(terminal, STDERR_FILENO);
    dup2(open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  // Read until the terminal's last writer is gone (EIO), so the tool never blocks on it.
  terminalText.clear();
  char block[4096];
  for (;;) {
    const ssize_t got = read(master, block, sizeof block);
    if (got > 0) {
      terminalText.append(block, static_cast<std::size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  out = testing::slurp(outFile);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Terminal, RoundsGoToAProgressLineThatIsClearedAtTheEnd) {
  // Two pages of the photograph: their 30 rounds each take more than the second after which
  // rounds are shown, so the second page's are.
  segment::GreyImage camera;
  std::string error;
  ASSERT_TRUE(readPng(DASKEL_SOURCE_DIR "/data/camera.png", camera, error)) << error;
  testing::TiffPage page(static_cast<uint32_t>(camera.cols), static_cast<uint32_t>(camera.rows));
  for (int32_t i = 0; i < camera.rows; ++i) {
    for (int32_t j = 0; j < camera.cols; ++j) {
      page.data += static_cast<char>(
          std::lround(camera.values[i + static_cast<std::size_t>(camera.rows) * j] * 255.0f));
    }
  }
  ASSERT_TRUE(testing::writeTiff(at("stack.tif"), {page, page}));
  std::string terminal, out;
  ASSERT_EQ(runOnTerminal({at("stack.tif"), at("out.tif"), "--rounds", "30"}, at("report.txt"),
                          terminal, out),
            0)
      << terminal;
  EXPECT_NE(terminal.find("\rpage 2 of 2, round 30 of 30, "), std::string::npos) << terminal;
  EXPECT_EQ(terminal.find('\n'), std::string::npos) << "no line of its own: " << terminal;
  // Cleared: the last thing written blanks the line and returns to its start.
  ASSERT_GE(terminal.size(), 2u);
  EXPECT_EQ(terminal.back(), '\r');
  EXPECT_EQ(terminal[terminal.size() - 2], ' ');
  EXPECT_EQ(out.find("round "), std::string::npos) << "the rounds left the report: " << out;
  EXPECT_NE(out.find("stack.tif (page 2 of 2): 512 x 512 pixels"), std::string::npos) << out;

  // Standard error on a file: nothing there, and the rounds stay lines of the report.
  ASSERT_EQ(run(quoted("stack.tif") + " " + quoted("out.tif") + " --rounds 30"), 0) << err_;
  EXPECT_TRUE(err_.empty()) << err_;
  EXPECT_NE(out_.find("\npage 2 of 2, round 30 of 30: intensities "), std::string::npos) << out_;
}

}  // namespace
}  // namespace daskel::tool

// daskel-segment with standard error on a terminal: the rounds go to a progress line, rewritten
// in place and cleared at the end; elsewhere they stay lines of the report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "tests/segment/synthetic.hpp"
#include "tests/tool/image_files.hpp"
#include "tests/tool/tool_run.hpp"

namespace daskel::tool {
namespace {

using Terminal = testing::Tool;

// Runs the shell command `command` with standard error on a new pseudo-terminal; returns the
// exit status and keeps what reached the terminal.
int runOnTerminal(const std::string& command, std::string& terminalText) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  const std::string slave = ptsname(master);
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    dup2(open(slave.c_str(), O_RDWR | O_NOCTTY), STDERR_FILENO);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Read until the terminal's last writer is gone (EIO), so that no writer blocks on it.
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
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Terminal, RoundsGoToAProgressLineThatIsClearedAtTheEnd) {
  // A small stack that arrives on standard input only after more than the second from which
  // rounds are shown, so that every round of both pages is.
  testing::TiffPage page(24, 20);
  const auto s = segment::testing::makeSynthetic(segment::testing::Layout::DiscAndBar, 20, 24,
                                                 {0.2f, 0.5f, 0.8f}, 0.05, 3);
  for (int32_t i = 0; i < 20; ++i) {
    for (int32_t j = 0; j < 24; ++j) {
      page.data += static_cast<char>(std::lround(s.image.values[i + 20 * j] * 255.0f));
    }
  }
  ASSERT_TRUE(testing::writeTiff(at("stack.tif"), {page, page}));
  const std::string slowInput = "(sleep 1.2; cat " + quoted("stack.tif") + ")";
  const std::string tool =
      std::string("'") + DASKEL_SEGMENT_TOOL + "' - " + quoted("out.tif") + " --rounds 3";
  std::string terminal;
  ASSERT_EQ(runOnTerminal(slowInput + " | " + tool + " >" + quoted("report.txt"), terminal), 0)
      << terminal;
  EXPECT_NE(terminal.find("\rpage 1 of 2, round 1 of 3, "), std::string::npos) << terminal;
  // The rounds settle after the second (the report says so); the last one run is shown.
  EXPECT_NE(terminal.find("\rpage 2 of 2, round 2 of 3, "), std::string::npos) << terminal;
  EXPECT_EQ(terminal.find('\n'), std::string::npos) << "no line of its own: " << terminal;
  // Cleared: the last thing written blanks the line and returns to its start.
  ASSERT_GE(terminal.size(), 2u);
  EXPECT_EQ(terminal.back(), '\r');
  EXPECT_EQ(terminal[terminal.size() - 2], ' ');
  const std::string report = testing::slurp(at("report.txt"));
  EXPECT_EQ(report.find("round "), std::string::npos) << "the rounds left the report: " << report;
  EXPECT_NE(report.find("standard input (page 2 of 2): 24 x 20 pixels"), std::string::npos)
      << report;

  // --quiet: nothing on the terminal, nor in the report.
  ASSERT_EQ(runOnTerminal(slowInput + " | " + tool + " --quiet >" + quoted("report.txt"), terminal),
            0)
      << terminal;
  EXPECT_TRUE(terminal.empty()) << terminal;
  EXPECT_TRUE(testing::slurp(at("report.txt")).empty());

  // Standard error not a terminal: nothing there, and the rounds stay lines of the report.
  ASSERT_EQ(run("- " + quoted("out.tif") + " --rounds 3", slowInput), 0) << err_;
  EXPECT_TRUE(err_.empty()) << err_;
  EXPECT_NE(out_.find("\npage 2 of 2, round 2 of 3: intensities "), std::string::npos) << out_;
}

}  // namespace
}  // namespace daskel::tool

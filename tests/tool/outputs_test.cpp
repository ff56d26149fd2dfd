// What daskel-segment does to files: outputs that clash or cannot be written, outputs that must
// appear together, signals and exhausted memory in the middle of a run, and standard output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "tests/segment/synthetic.hpp"
#include "tests/tool/png_bytes.hpp"
#include "tests/tool/scratch_folder.hpp"
#include "tools/daskel-segment/png_io.hpp"

namespace daskel::tool {
namespace {

using segment::GreyImage;

namespace fs = std::filesystem;

// What a run starts with: resource limits (0 leaves a limit as it is), standard output closed.
struct Conditions {
  rlim_t addressSpaceBytes = 0;
  rlim_t fileSizeBytes = 0;
  bool closedStandardOutput = false;
};

// The tool's files in the scratch folder, its standard output and errors beside it.
class ToolFiles : public testing::ScratchFolder {
 protected:
  void SetUp() override {
    ScratchFolder::SetUp();
    logs_ = folder_.string() + ".logs";
    fs::create_directories(logs_);
  }
  void TearDown() override {
    ScratchFolder::TearDown();
    fs::remove_all(logs_);
  }

  // Starts the tool in the test folder with its output and errors going to files. The signals
  // the tool handles start from their default action, whatever the test runner ignores.
  pid_t start(const std::vector<std::string>& args, const Conditions& conditions = {}) {
    std::vector<std::string> words = {DASKEL_SEGMENT_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string out = logs_ + "/stdout";
    const std::string err = logs_ + "/stderr";
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(folder_.c_str()) != 0) _exit(126);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    if (conditions.closedStandardOutput) close(STDOUT_FILENO);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(signal, SIG_DFL);
    std::signal(SIGXFSZ, SIG_IGN);  // an oversized write fails with EFBIG instead
    const rlimit space = {conditions.addressSpaceBytes, conditions.addressSpaceBytes};
    const rlimit size = {conditions.fileSizeBytes, conditions.fileSizeBytes};
    if (conditions.addressSpaceBytes != 0) setrlimit(RLIMIT_AS, &space);
    if (conditions.fileSizeBytes != 0) setrlimit(RLIMIT_FSIZE, &size);
    execv(argv[0], argv.data());
    _exit(127);
  }

  // Waits for the run; returns its wait status and keeps what it printed.
  int finish(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    out_ = slurp(logs_ + "/stdout");
    err_ = slurp(logs_ + "/stderr");
    return status;
  }

  // The exit status of a run that must end normally; -1 for one ended by a signal.
  int run(const std::vector<std::string>& args, const Conditions& conditions = {}) {
    const int status = finish(start(args, conditions));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // A noisy three-phase picture: its soft maps do not compress to nothing.
  void writeNoisy(const std::string& name, int32_t rows, int32_t cols) {
    const auto s = segment::testing::makeSynthetic(segment::testing::Layout::DiscAndBar, rows, cols,
                                                   {0.3f, 0.5f, 0.7f}, 0.15, 7);
    std::vector<uint8_t> samples(s.image.values.size());
    for (std::size_t p = 0; p < samples.size(); ++p) {
      samples[p] = static_cast<uint8_t>(s.image.values[p] * 255.0f + 0.5f);
    }
    std::string error;
    StagedFile file;
    ASSERT_TRUE(file.open(at(name), error)) << error;
    ASSERT_TRUE(writePng(file, rows, cols, 1, samples, error)) << error;
    ASSERT_TRUE(file.commit(error)) << error;
  }

  // Every entry of the folder with what it holds: a link's target, a file's size and a hash of
  // its bytes.
  std::map<std::string, std::string> contents() const {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_symlink()) {
        entries[name] = "-> " + fs::read_symlink(entry.path()).string();
      } else if (entry.is_directory()) {
        entries[name] = "folder";
      } else if (!entry.is_regular_file()) {
        entries[name] = "other";  // a pipe, never opened here
      } else {
        const std::string bytes = slurp(entry.path().string());
        entries[name] = std::to_string(bytes.size()) + " bytes, hash " +
                        std::to_string(std::hash<std::string>{}(bytes));
      }
    }
    return entries;
  }

  void expectOneLineFailure(int status, const std::string& reason, const std::string& context) {
    EXPECT_EQ(status, 1) << context;
    EXPECT_NE(err_.find(reason), std::string::npos) << context << " -> " << err_;
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << context << " -> " << err_;
    EXPECT_TRUE(out_.empty()) << context << " -> " << out_;
  }

  std::string logs_;
  std::string out_;
  std::string err_;
};

TEST_F(ToolFiles, ClashingAndUnwritableOutputsAreRefusedBeforeAnyWork) {
  writeNoisy("in.png", 8, 8);
  write("notes.png", "plain text, not an image\n");
  write("taken.png", "earlier contents\n");
  write("read-only.png", "keep me\n");
  chmod(at("read-only.png").c_str(), 0444);
  fs::create_hard_link(at("in.png"), at("in-hard.png"));
  fs::create_symlink("in.png", at("in-link.png"));
  fs::create_symlink("nowhere/x.png", at("broken.png"));
  fs::create_directory(at("sub"));
  mkfifo(at("pipe").c_str(), 0644);  // like a device: renaming a file onto it would replace it
  struct Case {
    std::vector<std::string> args;
    const char* reason;
  };
  const Case cases[] = {
      {{"in.png", "in.png"}, "OUTPUT 'in.png' is the same file as INPUT 'in.png'"},
      {{"in.png", "sub/../in.png"}, "is the same file as INPUT"},
      {{"in.png", "in-hard.png"}, "is the same file as INPUT"},
      {{"in.png", "in-link.png"}, "is the same file as INPUT"},
      {{"in.png", "out.png", "--labels", "in.png"}, "--labels 'in.png' is the same file as INPUT"},
      {{"in.png", "out.png", "--labels", "./out.png"}, "is the same file as OUTPUT 'out.png'"},
      {{"in.png", "taken.png", "--labels", "sub/../taken.png"}, "is the same file as OUTPUT"},
      {{"in.png", "s1.png", "--soft", "s"}, "--soft 's1.png' is the same file as OUTPUT"},
      {{"in.png", "o.png", "--soft", "in", "--levels", "0.2,0.8", "--labels", "in1.png"},
       "--soft 'in1.png' is the same file as --labels 'in1.png'"},
      // Found before the input is read: a text file is not reported as "not a PNG".
      {{"notes.png", "./notes.png"}, "is the same file as INPUT"},
      {{"in.png", "read-only.png"}, "cannot write 'read-only.png': it is read-only"},
      {{"in.png", "sub"}, "cannot write 'sub': it is a folder"},
      {{"in.png", "broken.png"}, "it is a symbolic link to a missing file"},
      {{"in.png", "out.png", "--labels", "pipe"}, "cannot write 'pipe': it is not a regular file"},
  };
  const auto before = contents();
  for (const Case& c : cases) {
    const std::string context = ::testing::PrintToString(c.args);
    expectOneLineFailure(run(c.args), c.reason, context);
    EXPECT_EQ(contents(), before) << context;
  }
}

TEST_F(ToolFiles, LinkedOutputsAreFollowedAndReplacedFilesKeepTheirPermissions) {
  writeNoisy("in.png", 8, 8);
  write("target.png", "old\n");
  chmod(at("target.png").c_str(), 0640);
  fs::create_symlink("target.png", at("link.png"));
  ASSERT_EQ(run({"in.png", "link.png", "--quiet"}), 0) << err_;
  EXPECT_TRUE(fs::is_symlink(at("link.png")));
  GreyImage image;
  std::string error;
  EXPECT_TRUE(readPng(at("target.png"), image, error)) << error;
  struct stat status {};
  ASSERT_EQ(stat(at("target.png").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(ToolFiles, AFailedLaterOutputLeavesNoOutputAtAll) {
  writeNoisy("in.png", 48, 48);
  // PNG outputs, written through the staged files' streams, and TIFF outputs, which libtiff
  // writes through their descriptors.
  for (const std::string extension : {".png", ".tif"}) {
    const std::vector<std::string> args = {
        "in.png", "out" + extension, "--labels", "labels" + extension, "--soft", "soft", "--quiet"};
    ASSERT_EQ(run(args), 0) << err_;
    const auto small =
        std::max(fs::file_size(at("out" + extension)), fs::file_size(at("labels" + extension)));
    const auto large = fs::file_size(at("soft0" + extension));
    ASSERT_LT(small, large) << "the limit below must let the first outputs through";
    for (const char* name : {"out", "labels", "soft0", "soft1", "soft2"}) {
      fs::remove(at(name + extension));
    }
    // A disk that fills up after the first two files: none of the five may appear.
    const auto before = contents();
    expectOneLineFailure(run(args, Conditions{0, (small + large) / 2}), "cannot write 'soft",
                         "full, " + extension);
    EXPECT_EQ(contents(), before) << extension;
  }
}

TEST_F(ToolFiles, SignalsRemoveTheStagedFilesAndEndTheRunAsTheSignalDoes) {
  fs::copy_file(DASKEL_SOURCE_DIR "/data/camera.png", at("in.png"));
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const auto before = contents();
    const std::size_t staged = entries() + 2;
    const pid_t pid = start({"in.png", "out.png", "--labels", "labels.png", "--rounds", "1000"});
    // The temporaries exist from before the solve to the end of the run.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (entries() < staged && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(entries(), staged) << "the staged files did not appear";
    kill(pid, signal);
    const int status = finish(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << strsignal(signal);
    EXPECT_EQ(contents(), before) << strsignal(signal);
  }
}

TEST_F(ToolFiles, ExhaustedMemoryEndsWithOneLineAndNoFiles) {
  // Half a gigabyte lets the decoding below through and stops the segmentation soon after.
  const Conditions halfAGigabyte{rlim_t{1} << 29, 0};
  if (run({"--help"}, halfAGigabyte) != 0) {
    GTEST_SKIP() << "the tool cannot start in half a gigabyte of address space (a sanitizer "
                    "runtime reserves more): "
                 << err_;
  }
  // 64 megapixels of zeros in 62 kB: decoded and segmented they need several gigabytes.
  const uint32_t side = 8000;
  write("zeros.png", testing::pngFile({testing::pngHeader(side, side, 8, 0),
                                       testing::pngImageData(std::string((side + 1) * side, 0))}));
  const auto before = contents();
  expectOneLineFailure(
      run({"zeros.png", "out.png", "--labels", "l.png", "--max-pixels", "64000000"}, halfAGigabyte),
      "not enough memory", "half a gigabyte");
  EXPECT_EQ(contents(), before);
}

TEST_F(ToolFiles, OutputDashWritesTheImageToStandardOutput) {
  writeNoisy("in.png", 12, 10);
  const auto before = contents();
  ASSERT_EQ(run({"in.png", "-"}), 0) << err_;
  EXPECT_EQ(contents(), before);  // no file named "-"
  EXPECT_NE(err_.find("wrote the image to standard output"), std::string::npos) << err_;
  write("stdout.png", out_);
  GreyImage image;
  std::string error;
  ASSERT_TRUE(readPng(at("stdout.png"), image, error)) << error;
  EXPECT_EQ(image.rows, 12);
  EXPECT_EQ(image.cols, 10);

  // With standard output closed, the image cannot go there, nor into a file that took its place.
  fs::remove(at("stdout.png"));
  const Conditions closed{0, 0, true};
  expectOneLineFailure(run({"in.png", "-", "--labels", "labels.png"}, closed),
                       "cannot write 'standard output'", "closed");
  EXPECT_EQ(contents(), before);
}

}  // namespace
}  // namespace daskel::tool

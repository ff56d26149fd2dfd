// The output files of daskel-segment: staged beside their destinations, put in place together.
//
// Each output is written to a temporary file in the folder of the file it becomes, and renamed
// onto it only when every output has been written, flushed and checked. Until then no destination
// is touched; a failed run removes the temporary files, and so does a run ended by SIGINT,
// SIGTERM, SIGHUP or SIGPIPE once removeStagedFilesOnSignals() is in force.
//
// What a destination may be:
// - a new file in an existing folder: created with the permissions of a new file (0666 less the
//   umask);
// - an existing regular file: replaced, keeping its permission bits; one without any write
//   permission bit, or that this user may not write, is refused;
// - a symbolic link: followed, so the file it points to is replaced as above and the link stays;
//   a link to nothing is refused;
// - "-": standard output, which receives the file after the other outputs are complete.
// Folders and other kinds of file (devices, pipes) are refused.
#ifndef DASKEL_TOOLS_SEGMENT_OUTPUTS_HPP
#define DASKEL_TOOLS_SEGMENT_OUTPUTS_HPP

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace daskel::tool {

// The path that stands for standard output, as an output.
constexpr char kStandardOutput[] = "-";
// The path that stands for standard input, as the input.
constexpr char kStandardInput[] = "-";

// One file written under a temporary name and renamed into place by publish().
class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

  // Creates the temporary file; false with `error` set for a destination that cannot be written.
  bool open(const std::string& path, std::string& error);
  const std::string& path() const { return path_; }
  std::FILE* stream() { return stream_; }
  // Flushes and closes the temporary file, checking that every byte reached it.
  bool finish(std::string& error);
  // Renames the finished file onto its destination (copies it to standard output for "-").
  bool publish(std::string& error);
  // finish() and publish(), for a file that is written alone.
  bool commit(std::string& error);

 private:
  void discard();
  std::string path_;         // as given
  std::string destination_;  // the file replaced: path_, or the file its link points to
  std::string temporary_;
  std::FILE* stream_ = nullptr;
};

// Files that appear together or not at all.
class OutputSet {
 public:
  // Stages one more output; false with `error` set when its destination cannot be written.
  bool add(const std::string& path, std::string& error);
  StagedFile& operator[](std::size_t index) { return *files_[index]; }
  // Finishes every file, then publishes them all with the signals above held back. A failure
  // before the first rename leaves no output; the staged files go with the set.
  bool commit(std::string& error);

 private:
  std::vector<std::unique_ptr<StagedFile>> files_;
};

// A file named on the command line, with the role that names it in messages ("OUTPUT").
struct NamedPath {
  std::string role;
  std::string path;
};

// Refuses, with a one-line `error`, an output that could not be written (as StagedFile::open
// would refuse it) and any output that is the input or another output, however the two are
// spelt: the same device and inode where the file exists, the same resolved folder and name
// where it does not yet. Standard input, as `input`, is no file to compare. Creates nothing.
bool checkOutputFiles(const NamedPath& input, const std::vector<NamedPath>& outputs,
                      std::string& error);

// Opens /dev/null, read-only, on any of the standard descriptors 0, 1 and 2 that is closed, so
// that no file the program opens takes its number: with standard output closed, the first
// staged file would otherwise receive whatever is printed. Writing to a stream so replaced fails,
// as writing to a closed one would.
void occupyClosedStandardDescriptors();

// From here on SIGINT, SIGTERM, SIGHUP and SIGPIPE first remove the staged temporary files, then
// end the program with their default action, so that its exit status still tells the signal.
// A signal that was ignored when the program started stays ignored.
void removeStagedFilesOnSignals();

}  // namespace daskel::tool

#endif  // DASKEL_TOOLS_SEGMENT_OUTPUTS_HPP

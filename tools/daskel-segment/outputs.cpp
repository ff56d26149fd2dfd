// Staged output files of daskel-segment.
#include "tools/daskel-segment/outputs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace daskel::tool {
namespace {

// --- Removal of the staged files on a signal -----------------------------------------------

constexpr std::array<int, 4> kCleanupSignals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// The temporary names the handler removes. The tool stages at most 18 files; a file that finds
// no free slot is still removed on every other path.
std::array<std::atomic<const char*>, 32> stagedPaths{};
static_assert(std::atomic<const char*>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

void registerStaged(const char* path) {
  for (auto& slot : stagedPaths) {
    const char* empty = nullptr;
    if (slot.compare_exchange_strong(empty, path)) return;
  }
}

void unregisterStaged(const char* path) {
  for (auto& slot : stagedPaths) {
    const char* expected = path;
    if (slot.compare_exchange_strong(expected, nullptr)) return;
  }
}

// Only async-signal-safe work: unlink the names prepared beforehand, then raise the signal
// again. SA_RESETHAND has restored its default action, which ends the program as soon as the
// handler returns and the signal is no longer blocked.
extern "C" void removeStagedAndRaise(int signal) {
  for (auto& slot : stagedPaths) {
    const char* path = slot.load();
    if (path != nullptr) unlink(path);
  }
  raise(signal);
}

sigset_t cleanupSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kCleanupSignals) sigaddset(&set, signal);
  return set;
}

// Holds the cleanup signals back for a scope, so that a step is not cut in half by one of them.
class SignalsHeld {
 public:
  SignalsHeld() {
    const sigset_t set = cleanupSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// --- Destinations --------------------------------------------------------------------------

struct SplitPath {
  std::string folder;  // with its final '/', empty for the current folder
  std::string name;
};

SplitPath splitPath(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// The file that writing `path` replaces.
struct Destination {
  std::string path;  // `path` itself, or the file its symbolic link points to
  bool exists = false;
  mode_t mode = 0;  // the permission bits of the existing file
};

bool resolveDestination(const std::string& path, Destination& destination, std::string& error) {
  auto refuse = [&](const std::string& reason) {
    error = "cannot write '" + path + "': " + reason;
    return false;
  };
  if (path.empty() || path.back() == '/') return refuse("it names a folder");
  destination = Destination{path, false, 0};
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    // A new file; whether its folder takes it is seen when the file is staged.
    return errno == ENOENT || refuse(std::strerror(errno));
  }
  if (S_ISLNK(status.st_mode)) {
    char* target = realpath(path.c_str(), nullptr);
    if (target == nullptr) {
      return refuse(errno == ENOENT ? "it is a symbolic link to a missing file"
                                    : std::strerror(errno));
    }
    destination.path = target;
    std::free(target);
    if (stat(destination.path.c_str(), &status) != 0) return refuse(std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) return refuse("it is a folder");
  if (!S_ISREG(status.st_mode)) return refuse("it is not a regular file (- is standard output)");
  // The permission bits count even for a user whom access() lets write anything.
  const bool writable = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
                        access(destination.path.c_str(), W_OK) == 0;
  if (!writable) return refuse("it is read-only");
  destination.exists = true;
  destination.mode = status.st_mode & 07777;
  return true;
}

// The permissions open() gives a new file: 0666 less the umask.
mode_t newFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Tells whether two names are one file: by device and inode where it exists, by the resolved
// folder and the name where it does not.
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::string resolved;
};

FileIdentity identify(const std::string& path) {
  FileIdentity identity;
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) {
    identity.exists = true;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    return identity;
  }
  const SplitPath split = splitPath(path);
  char* folder = realpath(split.folder.empty() ? "." : split.folder.c_str(), nullptr);
  identity.resolved = (folder != nullptr ? std::string(folder) + "/" : split.folder) + split.name;
  std::free(folder);
  return identity;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.exists != b.exists) return false;
  if (a.exists) return a.device == b.device && a.inode == b.inode;
  return a.resolved == b.resolved;
}

std::string writeError(const std::string& path) {
  return "cannot write '" + path + "': " + std::strerror(errno);
}

}  // namespace

// --- StagedFile ----------------------------------------------------------------------------

StagedFile::~StagedFile() {
  discard();
}

bool StagedFile::open(const std::string& path, std::string& error) {
  discard();
  path_ = path;
  if (path == kStandardOutput) {
    // An anonymous file: nothing to remove, whatever ends the program.
    stream_ = std::tmpfile();
    if (stream_ == nullptr) error = writeError("standard output");
    return stream_ != nullptr;
  }
  Destination destination;
  if (!resolveDestination(path, destination, error)) return false;
  destination_ = destination.path;
  const SplitPath split = splitPath(destination_);
  std::string pattern = split.folder + "." + split.name + ".XXXXXX";
  int descriptor = -1;
  {
    const SignalsHeld held;  // the name is registered before a signal can miss it
    descriptor = mkstemp(pattern.data());
    if (descriptor >= 0) {
      temporary_ = pattern;
      registerStaged(temporary_.c_str());
    }
  }
  if (descriptor < 0) {
    error = writeError(path);
    return false;
  }
  // mkstemp creates the file for its owner only; a replaced file keeps its permissions.
  fchmod(descriptor, destination.exists ? destination.mode : newFileMode());
  stream_ = fdopen(descriptor, "wb");
  if (stream_ == nullptr) {
    error = writeError(path);
    ::close(descriptor);
    discard();
    return false;
  }
  return true;
}

bool StagedFile::finish(std::string& error) {
  if (stream_ == nullptr) {
    error = "cannot write '" + path_ + "': not open";
    return false;
  }
  const bool written = std::fflush(stream_) == 0 && !std::ferror(stream_);
  if (path_ == kStandardOutput) {
    if (!written) error = writeError("standard output");
    return written;  // the stream stays open for publish()
  }
  // On disk before the rename, so that a crash cannot leave a renamed but empty file.
  const bool synced = written && fsync(fileno(stream_)) == 0;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!synced || !closed) {
    error = writeError(path_);
    discard();
    return false;
  }
  return true;
}

bool StagedFile::publish(std::string& error) {
  if (path_ == kStandardOutput) {
    bool copied = stream_ != nullptr && std::fseek(stream_, 0, SEEK_SET) == 0;
    char block[1 << 16];
    std::size_t got = 0;
    while (copied && (got = std::fread(block, 1, sizeof block, stream_)) > 0) {
      copied = std::fwrite(block, 1, got, stdout) == got;
    }
    copied = copied && !std::ferror(stream_) && std::fflush(stdout) == 0;
    if (!copied) error = writeError("standard output");
    discard();
    return copied;
  }
  if (temporary_.empty() || stream_ != nullptr) {
    error = "cannot write '" + path_ + "': not finished";
    return false;
  }
  if (std::rename(temporary_.c_str(), destination_.c_str()) != 0) {
    error = writeError(path_);
    discard();
    return false;
  }
  unregisterStaged(temporary_.c_str());
  temporary_.clear();
  return true;
}

bool StagedFile::commit(std::string& error) {
  return finish(error) && publish(error);
}

void StagedFile::discard() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  if (!temporary_.empty()) {
    std::remove(temporary_.c_str());
    unregisterStaged(temporary_.c_str());
  }
  temporary_.clear();
}

// --- OutputSet -----------------------------------------------------------------------------

bool OutputSet::add(const std::string& path, std::string& error) {
  files_.push_back(std::make_unique<StagedFile>());
  return files_.back()->open(path, error);
}

bool OutputSet::commit(std::string& error) {
  for (auto& file : files_) {
    if (!file->finish(error)) return false;
  }
  const SignalsHeld held;
  for (auto& file : files_) {
    if (!file->publish(error)) return false;
  }
  return true;
}

// --- Checks before any work ----------------------------------------------------------------

bool checkOutputFiles(const NamedPath& input, const std::vector<NamedPath>& outputs,
                      std::string& error) {
  std::vector<const NamedPath*> named;
  std::vector<FileIdentity> identities;
  if (input.path != kStandardInput) {
    named.push_back(&input);
    identities.push_back(identify(input.path));
  }
  for (const NamedPath& output : outputs) {
    if (output.path == kStandardOutput) continue;
    Destination destination;
    if (!resolveDestination(output.path, destination, error)) return false;
    const FileIdentity identity = identify(destination.path);
    for (std::size_t k = 0; k < identities.size(); ++k) {
      if (sameFile(identity, identities[k])) {
        error = output.role + " '" + output.path + "' is the same file as " + named[k]->role +
                " '" + named[k]->path + "'";
        return false;
      }
    }
    named.push_back(&output);
    identities.push_back(identity);
  }
  return true;
}

void occupyClosedStandardDescriptors() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free number is this one, as the lower ones are open.
      if (::open("/dev/null", O_RDONLY) != descriptor) return;
    }
  }
}

void removeStagedFilesOnSignals() {
  for (int signal : kCleanupSignals) {
    struct sigaction previous {};
    if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = removeStagedAndRaise;
    action.sa_mask = cleanupSignalSet();  // one handler at a time
    action.sa_flags = SA_RESETHAND;
    sigaction(signal, &action, nullptr);
  }
}

}  // namespace daskel::tool

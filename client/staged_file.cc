#include "client/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>

namespace {

std::string RandomSuffix() {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::random_device rd;
  std::string s;
  for (int i = 0; i < 10; ++i) s += kDigits[rd() % 36];
  return s;
}

}  // namespace

StagedFile::StagedFile(const std::string& target) : target_(target), path_(target) {
  struct stat st {};
  const bool exists = stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return;
  if (exists) mode_ = st.st_mode & 07777;
  if (char* real = realpath(target.c_str(), nullptr)) {
    target_ = real;
    std::free(real);
  }
  size_t slash = target_.rfind('/');
  std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  for (int attempt = 0; attempt < 8; ++attempt) {
    path_ = dir + "." + name + ".hvn-" + RandomSuffix();
    // 0666 lets the umask decide, as for a file opened the ordinary way.
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0 || errno != EEXIST) break;
  }
  if (fd_ >= 0) {
    staged_ = true;
    return;
  }
  // A folder that takes no new name, or a name with no room for the suffix:
  // the target is written in place. A new one is made here, so it gets the
  // same mode as a staged one, and goes again if the run fails. A full disk
  // is no reason: writing in place would only destroy the earlier file.
  if (errno != EACCES && errno != EPERM && errno != ENAMETOOLONG) {
    error_ = errno;
    done_ = true;
    return;
  }
  path_ = target;
  if (exists) return;
  fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd_ >= 0) {
    created_ = true;
  } else {
    error_ = errno;
    done_ = true;
  }
}

StagedFile::~StagedFile() { Discard(); }

bool StagedFile::Closed() {
  errno = error_ ? error_ : EBADF;
  return false;
}

bool StagedFile::Fail() {
  if (error_ == 0) error_ = errno ? errno : EIO;
  Discard();
  errno = error_;
  return false;
}

bool StagedFile::Write(const std::string& bytes) {
  if (done_) return Closed();
  if (fd_ < 0) fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) return Fail();
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail();
    done += static_cast<size_t>(n);
  }
  return true;
}

bool StagedFile::Commit() {
  if (done_) return Closed();
  int fd = fd_;
  fd_ = -1;
  // A full disk can show up only when the file is closed.
  if (fd >= 0 && close(fd) != 0) return Fail();
  // The file it replaces keeps its mode; a new one has what the umask left.
  if (staged_ && mode_ >= 0 && chmod(path_.c_str(), static_cast<mode_t>(mode_)) != 0) return Fail();
  if (staged_ && rename(path_.c_str(), target_.c_str()) != 0) return Fail();
  done_ = true;
  return true;
}

void StagedFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!done_ && (staged_ || created_)) unlink(path_.c_str());
  done_ = true;
}

bool WriteFileWhole(const std::string& path, const std::string& bytes) {
  StagedFile file(path);
  return file.Write(bytes) && file.Commit();
}

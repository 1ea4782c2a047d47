// Outputs are written beside their target under a temporary name and renamed
// over it once whole: a reader finds the earlier file or the complete new one,
// never a partial one, whatever ends the run.
#pragma once

#include <string>

class StagedFile {
 public:
  // Creates the temporary file. A target that exists and is not a regular
  // file (a device, a FIFO) cannot be replaced by renaming; it is written in
  // place, as is any target whose folder cannot hold the temporary file. A
  // symbolic link keeps pointing where it did; a replaced file keeps its mode.
  explicit StagedFile(const std::string& target);
  // Removes the temporary file unless Commit succeeded.
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  int error() const { return error_; }  // errno of the first failure, 0 if none
  const std::string& path() const { return path_; }  // where the bytes go
  bool Write(const std::string& bytes);
  // Closes the file and puts it in place.
  bool Commit();
  // Gives up: the temporary file goes, the target is left as it was.
  void Discard();

 private:
  bool Fail();
  bool Closed();
  std::string target_, path_;
  int fd_ = -1;
  int error_ = 0;
  int mode_ = -1;         // the replaced file's permission bits
  bool staged_ = false;
  bool created_ = false;  // written in place into a file made here
  bool done_ = false;
};

// The whole text at path, or the target untouched; false with errno set.
bool WriteFileWhole(const std::string& path, const std::string& bytes);

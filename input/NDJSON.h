// One input log: a file of newline-delimited JSON records.
//
// The file is created empty at construction (an old file there is
// replaced), readable and writable by the owner only, and a symbolic link at
// the path is never followed: it is replaced by a regular file. When the log
// cannot be created at all the writer stays inert and drops its records; a
// recording never fails for want of an input log.
//
// Not thread-safe: one thread writes (the main loop), and close() runs only
// after that thread has stopped writing.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

class NDJSON {
 public:
  explicit NDJSON(const std::string& path);
  ~NDJSON();
  NDJSON(const NDJSON&) = delete;
  NDJSON& operator=(const NDJSON&) = delete;

  // Appends the record as one line: compact JSON then a line feed, in one
  // write. A record with no JSON form is dropped.
  void write(const nlohmann::json& record);
  // Closes the file; later writes are dropped. Errors are ignored.
  void close();

  bool isOpen() const { return handle_ >= 0; }

 private:
  int handle_ = -1;
};

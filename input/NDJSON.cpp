#include "input/NDJSON.h"

#include "platform/Json.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int createLog(const std::string& path) {
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags, 0600);
  if (fd >= 0) {
    ::fchmod(fd, 0600);  // an old file keeps its mode otherwise
    return fd;
  }
  // A symbolic link, or a file we may not write (left read-only in a reused
  // directory): the old entry goes, a fresh file takes its place.
  if (::unlink(path.c_str()) != 0) return -1;
  return ::open(path.c_str(), flags | O_EXCL, 0600);
}

}  // namespace

NDJSON::NDJSON(const std::string& path) : handle_(createLog(path)) {}

NDJSON::~NDJSON() { close(); }

void NDJSON::write(const nlohmann::json& record) {
  if (handle_ < 0) return;
  std::optional<std::string> text = platform::serializeJson(record);
  if (!text) return;
  text->push_back('\n');
  const char* data = text->data();
  size_t size = text->size();
  while (size > 0) {
    ssize_t n = ::write(handle_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // disk full and the like: the record is lost
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void NDJSON::close() {
  if (handle_ < 0) return;
  ::close(handle_);
  handle_ = -1;
}

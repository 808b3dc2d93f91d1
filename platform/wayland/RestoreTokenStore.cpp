#include "platform/wayland/RestoreTokenStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace platform::wayland {

namespace {

constexpr size_t kLongestToken = 4096;

// Creates `dir` and its missing parents; the last one owner-only.
bool makeFolder(const std::filesystem::path& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir.parent_path(), error);
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return std::filesystem::is_directory(dir, error);
}

}  // namespace

std::string RestoreTokenStore::defaultPath() {
  std::filesystem::path base;
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (state != nullptr && *state == '/') {
    base = state;
  } else if (home != nullptr && *home != '\0') {
    base = std::filesystem::path(home) / ".local" / "state";
  } else {
    return {};
  }
  return (base / "tesmar-recorder" / "screencast-restore-token").string();
}

std::optional<std::string> RestoreTokenStore::load() const {
  if (path_.empty()) return std::nullopt;
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string token;
  char buffer[512];
  while (token.size() <= kLongestToken) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    token.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
  if (token.empty() || token.size() > kLongestToken) return std::nullopt;
  return token;
}

bool RestoreTokenStore::save(const std::string& token) const {
  if (path_.empty() || token.empty() || token.size() > kLongestToken) return false;
  const std::filesystem::path file(path_);
  if (!makeFolder(file.parent_path())) return false;
  std::string temporary = path_ + ".XXXXXX";
  const int fd = mkstemp(temporary.data());  // mode 0600
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0600) == 0;
  const std::string text = token + "\n";
  size_t written = 0;
  while (ok && written < text.size()) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false; else written += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temporary.c_str(), path_.c_str()) == 0;
  if (!ok) unlink(temporary.c_str());
  return ok;
}

void RestoreTokenStore::discard() const {
  if (!path_.empty()) unlink(path_.c_str());
}

}  // namespace platform::wayland

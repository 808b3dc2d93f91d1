// Where the screen-cast grant is kept between runs: the restore token the
// desktop portal hands out for a session, in one file of the user's state
// directory ($XDG_STATE_HOME/tesmar-recorder/screencast-restore-token, else
// ~/.local/state/...), readable by its owner only (0600, the folder 0700).
// A token is good for one session: each new one replaces the file at once,
// written to a temporary file beside it and renamed over it, so that the
// file always holds a whole token or none.
//
// Thread-safe (each call is one file operation).
#pragma once

#include <optional>
#include <string>

namespace platform::wayland {

class RestoreTokenStore {
 public:
  explicit RestoreTokenStore(std::string path) : path_(std::move(path)) {}
  // The file named above, from the environment; empty when neither
  // XDG_STATE_HOME nor HOME is set.
  static std::string defaultPath();

  const std::string& path() const { return path_; }
  // The stored token; nothing when there is none (or it cannot be read).
  std::optional<std::string> load() const;
  // Replaces the stored token; false when it could not be written (the old
  // one then stays).
  bool save(const std::string& token) const;
  // Removes the stored token.
  void discard() const;

 private:
  std::string path_;
};

}  // namespace platform::wayland

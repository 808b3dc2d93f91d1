#include "main/EventChannel.h"

#include "platform/Json.h"
#include "platform/Process.h"

#include <cerrno>
#include <unistd.h>

std::mutex outLock;

namespace {

bool finalEventWritten = false;  // outLock

void writeAll(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(STDOUT_FILENO, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the reader has gone away: the line is dropped
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

namespace {

void writeLine(const nlohmann::json& message) {
  std::optional<std::string> text = platform::serializeJson(message);
  if (!text) return;
  writeAll(text->data(), text->size());
  writeAll("\n", 1);
}

}  // namespace

void emit(const nlohmann::json& message) {
  std::lock_guard<std::mutex> lock(outLock);
  if (finalEventWritten) return;
  writeLine(message);
}

bool emitFinal(const nlohmann::json& message) {
  std::lock_guard<std::mutex> lock(outLock);
  if (finalEventWritten) return false;
  finalEventWritten = true;
  writeLine(message);
  return true;
}

void fail(const std::string& message, const std::string& code) {
  if (emitFinal({{"event", "error"}, {"code", code}, {"message", message}})) platform::exitProcess(1);
  for (;;) ::pause();
}

void writeStandardOutput(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(outLock);
  writeAll(bytes.data(), bytes.size());
}

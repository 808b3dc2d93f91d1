// The single writer of standard output. Every JSON line the program prints
// goes through emit() or fail(): one compact JSON object and a line feed,
// written under outLock so that no line is ever interleaved with another.
#pragma once

#include <nlohmann/json.hpp>

#include <mutex>
#include <string>

// Guards standard output and nothing else. Not recursive: never emit while
// holding it.
extern std::mutex outLock;

// Writes one line; a message that cannot be serialised writes nothing. A
// failed write (the host has gone away) is dropped. Any thread.
void emit(const nlohmann::json& message);

// Writes {"event":"error","code":…,"message":…} and ends the process with
// status 1.
[[noreturn]] void fail(const std::string& message, const std::string& code = "error");

// Writes raw bytes to standard output under outLock (the usage line).
void writeStandardOutput(const std::string& bytes);

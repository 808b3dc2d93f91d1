// The single writer of standard output. Every JSON line the program prints
// goes through emit() or fail(): one compact JSON object and a line feed,
// written under outLock so that no line is ever interleaved with another.
#pragma once

#include <nlohmann/json.hpp>

#include <mutex>
#include <string>

// Guards standard output and whether the final event has been written.
// Not recursive: never emit while holding it.
extern std::mutex outLock;

// Writes one line; a message that cannot be serialised writes nothing. A
// failed write (the host has gone away) is dropped. Any thread. Writes
// nothing once the final event has been written.
void emit(const nlohmann::json& message);

// Writes the run's final event ("error", "stopped" or "cancelled"), after
// which the channel writes nothing more. True when this was the final event
// (also when it could not be serialised and so wrote nothing); false, with
// nothing written, when another final event came first.
bool emitFinal(const nlohmann::json& message);

// Writes {"event":"error","code":…,"message":…} as the final event and ends
// the process with status 1. Should another final event have come first,
// the process is already ending with that event's status: the calling
// thread then waits for that end instead.
[[noreturn]] void fail(const std::string& message, const std::string& code = "error");

// Writes raw bytes to standard output under outLock (the usage line).
void writeStandardOutput(const std::string& bytes);

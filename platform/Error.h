#pragma once

#include <string>
#include <utility>
#include <variant>

namespace platform {

// A failure reported by a platform service. `description` is a plain English
// sentence fit to show a user after "Cannot start recording: ".
struct Error {
  std::string description;
  // The operation gave up waiting because it was interrupted (a stop
  // arrived), not because something is wrong.
  bool interrupted = false;
  // The system refused the permission the operation needs (the person
  // declined, or a stored grant is no longer accepted).
  bool permissionDenied = false;
};

// A value or the error that prevented it.
template <typename T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(std::move(error)) {}
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T& operator*() { return value(); }
  T* operator->() { return &value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace platform

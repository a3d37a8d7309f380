#pragma once

#include <exception>
#include <string>

namespace pt {

// The one error type the tool raises: its description is the message, unchanged.
class TextError : public std::exception {
 public:
  explicit TextError(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

// "<message>：<status>", the form of every message that reports a platform failure.
std::string statusMessage(const char* message, int status);

}  // namespace pt

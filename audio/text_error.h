#pragma once

#include <exception>
#include <string>

namespace pt {

// The one error type the tool raises: its description is the message, unchanged.
class TextError : public std::exception {
 public:
  // A mistake in the command line is the one failure another command line would fix: the entry
  // follows only those with the usage line.
  enum class Blame { run, commandLine };

  explicit TextError(std::string text, Blame blame = Blame::run)
      : text_(std::move(text)), blame_(blame) {}
  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const noexcept { return text_; }
  Blame blame() const noexcept { return blame_; }

 private:
  std::string text_;
  Blame blame_;
};

// "<message>：<status>", the form of every message that reports a platform failure.
std::string statusMessage(const char* message, int status);

}  // namespace pt

#pragma once

// The circuit runner's refusal of a caller's input (a malformed program, an argument out of
// range). Unlike an internal failure it writes no notice: the caller gets the message alone.

#include <exception>
#include <string>

namespace korvel::circuit {

class InvalidInput : public std::exception {
public:
    explicit InvalidInput(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

}  // namespace korvel::circuit

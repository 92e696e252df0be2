// The support library's one exception type. Failures are answered by return values
// throughout the filter; this class is for the implementer's own fatal failures.
#pragma once

#include <exception>
#include <string>

namespace kel {

class Exception : public std::exception {
  public:
    Exception(std::string message, int code) : text(std::move(message)), number(code) {}
    ~Exception() override = default;

    const char* what() const noexcept override { return text.c_str(); }
    virtual const std::string& message() const { return text; }
    virtual int code() const { return number; }

  private:
    std::string text;
    int number;
};

}  // namespace kel

#pragma once
// The errors that the lower layers raise. The windows never see a lower layer's message box: every
// failure reaches them as one of these, and the general error report shows its message.

#include <stdexcept>
#include <string>

// Base of every error this program raises itself. ClassName() names the error in the start-up
// error box ("Exception %s in module %s at %p.").
class ERq7Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual const char* ClassName() const noexcept { return "Exception"; }
};

// A text that cannot be converted: "'%s' is not a valid integer value".
class EConvertError : public ERq7Error {
public:
    using ERq7Error::ERq7Error;
    const char* ClassName() const noexcept override { return "EConvertError"; }
};

// A value beyond the single-precision range: "Floating point overflow".
class EOverflow : public ERq7Error {
public:
    EOverflow() : ERq7Error("Floating point overflow") {}
    const char* ClassName() const noexcept override { return "EOverflow"; }
};

// A file operation that failed: "File not found", "Disk full", "I/O error %d", ...
class EInOutError : public ERq7Error {
public:
    EInOutError(const std::string& message, int code) : ERq7Error(message), ErrorCode(code) {}
    const char* ClassName() const noexcept override { return "EInOutError"; }
    int ErrorCode;
};

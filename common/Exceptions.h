// The error classes of the system. Every error carries its class name and a message,
// so that boundaries can report "<class>\r\n<message>" without knowing the concrete type.
#pragma once

#include <exception>
#include <string>
#include <vector>

namespace keyrix {

class Exception : public std::exception {
public:
    // Notes where the error is made, for crash reports.
    explicit Exception(std::string message);

    const std::string& Message() const noexcept { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }
    const char* what() const noexcept override { return FMessage.c_str(); }

    // The name reports and audit events show for this error.
    virtual const char* ClassName() const noexcept { return "Exception"; }

    // The call stack where the error was made, one frame a line (empty when unknown).
    std::string StackTrace() const;

private:
    std::string FMessage;
    std::vector<void*> FFrames;
};

// Declares an error class that adds nothing but its name to its base.
#define KEYRIX_DECLARE_EXCEPTION(Name, Base)                                  \
    class Name : public Base {                                                \
    public:                                                                   \
        using Base::Base;                                                     \
        const char* ClassName() const noexcept override { return #Name; }     \
    }

// An internal consistency check failed.
class EBugCheckError : public Exception {
public:
    explicit EBugCheckError(const std::string& text) : Exception("BUGCHECK: " + text) {}
    const char* ClassName() const noexcept override { return "EBugCheckError"; }
};

// A message composed to be shown to an operator.
KEYRIX_DECLARE_EXCEPTION(EDisplayError, Exception);

// An operation this build does not provide yet; raised instead of pretending to succeed.
KEYRIX_DECLARE_EXCEPTION(ENotAvailable, Exception);

// An operating-system call failed; the code is the errno value (or a Windows error
// number where the system reports one by number).
class EOSError : public Exception {
public:
    EOSError(int errorCode, std::string message) : Exception(std::move(message)), FErrorCode(errorCode) {}
    int ErrorCode() const noexcept { return FErrorCode; }
    const char* ClassName() const noexcept override { return "EOSError"; }

private:
    int FErrorCode;
};

// Files and in-memory streams.
KEYRIX_DECLARE_EXCEPTION(EStreamError, Exception);
KEYRIX_DECLARE_EXCEPTION(EFCreateError, EStreamError);
KEYRIX_DECLARE_EXCEPTION(EFOpenError, EStreamError);
KEYRIX_DECLARE_EXCEPTION(EWriteError, EStreamError);

// Class name and message of any caught error, for the reporting boundaries.
struct TErrorInfo {
    std::string ClassName;
    std::string Message;
};

// Describes the error being handled; call only inside a catch block.
TErrorInfo DescribeCurrentException();
TErrorInfo DescribeException(const std::exception& error);
// The call stack of an error of the system, where it has one; empty otherwise.
std::string StackTraceOf(const std::exception& error);

// The system's text for an errno value.
std::string SysErrorMessage(int errorCode);

}  // namespace keyrix

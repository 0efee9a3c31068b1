#include "common/Exceptions.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

namespace keyrix {

namespace {

std::string DemangledName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

constexpr int MaxFrames = 32;

}  // namespace

Exception::Exception(std::string message) : FMessage(std::move(message)), FFrames(MaxFrames) {
    const int n = ::backtrace(FFrames.data(), MaxFrames);
    FFrames.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string Exception::StackTrace() const {
    if (FFrames.empty()) return {};
    std::unique_ptr<char*, decltype(&std::free)> symbols(
        ::backtrace_symbols(FFrames.data(), static_cast<int>(FFrames.size())), &std::free);
    if (!symbols) return {};
    std::string trace;
    // The first frame is this constructor itself.
    for (std::size_t i = 1; i < FFrames.size(); ++i) {
        trace += symbols.get()[i];
        trace += "\r\n";
    }
    return trace;
}

std::string StackTraceOf(const std::exception& error) {
    auto* own = dynamic_cast<const Exception*>(&error);
    return own ? own->StackTrace() : std::string();
}

TErrorInfo DescribeException(const std::exception& error) {
    if (auto* own = dynamic_cast<const Exception*>(&error))
        return {own->ClassName(), own->Message()};
    // Library errors (std::bad_alloc, fmt::format_error, ...) keep their C++ type name.
    return {DemangledName(typeid(error)), error.what()};
}

TErrorInfo DescribeCurrentException() {
    try {
        throw;
    } catch (const std::exception& error) {
        return DescribeException(error);
    } catch (...) {
        return {"UnknownException", "An error of unknown type was raised"};
    }
}

std::string SysErrorMessage(int errorCode) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in buffer.
    return ::strerror_r(errorCode, buffer, sizeof buffer);
}

}  // namespace keyrix

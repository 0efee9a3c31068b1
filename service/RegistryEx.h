// TRegistryEx: the registry access class with REG_MULTI_SZ values as string lists.
#pragma once

#include "common/Exceptions.h"
#include "platform/Registry.h"

#include <string>
#include <vector>

namespace keyrix {

// A registry failure with the Windows error code it met: the message is "Error <code> :
// <system text>" (or "Error <code>" when there is no text), ":" and the given message.
class EExRegistryException : public Exception {
public:
    EExRegistryException(long errorCode, const std::string& message);
    long ErrorCode() const noexcept { return FErrorCode; }
    const char* ClassName() const noexcept override { return "EExRegistryException"; }

private:
    long FErrorCode;
};

class TRegistryEx : public platform::TRegistry {
public:
    using platform::TRegistry::TRegistry;

    // The strings of a REG_MULTI_SZ value, up to the first empty one.
    std::vector<std::string> ReadMultiSz(const std::string& name) const;
    void WriteMultiSz(const std::string& name, const std::vector<std::string>& strings);
};

}  // namespace keyrix

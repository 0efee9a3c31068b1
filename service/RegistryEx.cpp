#include "service/RegistryEx.h"

#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/WinError.h"

namespace keyrix {

using namespace platform;

namespace {
std::string ErrorText(long code) {
    const std::string text = WindowsErrorText(code);
    return text.empty() ? Format("Error %d", code) : Format("Error %d : %s", code, text);
}
}  // namespace

EExRegistryException::EExRegistryException(long errorCode, const std::string& message)
    : Exception(ErrorText(errorCode) + ":" + message), FErrorCode(errorCode) {}

std::vector<std::string> TRegistryEx::ReadMultiSz(const std::string& name) const {
    std::uint32_t type = REG_NONE;
    std::string data;
    long rc = QueryRaw(name, type, data);
    if (rc != ERROR_SUCCESS) throw EExRegistryException(rc, "Unable read MULTI_SZ value");
    if (type != REG_MULTI_SZ) throw ERegistryException("String list expected");
    return SplitNul(data, true);
}

void TRegistryEx::WriteMultiSz(const std::string& name, const std::vector<std::string>& strings) {
    std::string data;
    for (const std::string& s : strings) {
        data += s;
        data += '\0';
    }
    data += '\0';
    long rc = SetRaw(name, REG_MULTI_SZ, data);
    if (rc != ERROR_SUCCESS) throw EExRegistryException(rc, "Unable to write MULTI_SZ value");
}

}  // namespace keyrix

#include "db/FbClient.h"

#include "common/Format.h"
#include "db/FbErrors.h"

#include <dlfcn.h>

#include <map>
#include <mutex>

namespace keyrix {

namespace {

// Loaded libraries by path. Weak, so the last connection that lets go unloads it.
std::mutex LibrariesLock;
std::map<std::string, std::weak_ptr<TFbClient>> Libraries;

std::string LastDlError() {
    const char* text = ::dlerror();
    return text != nullptr ? text : "unknown error";
}

}  // namespace

void TFbClient::TLibraryCloser::operator()(void* handle) const { ::dlclose(handle); }

TFbClient::TFbClient(TKey, std::string path) : FPath(std::move(path)) {
    // The client keeps process-wide state (its plugin manager and the threads and handlers
    // it registers) that it tears down only at process exit, so its code stays mapped when
    // the last handle is closed.
    FLibrary.reset(::dlopen(FPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    if (!FLibrary)
        throw EDatabaseError(Format("Cannot load the Firebird client library \"%s\": %s", FPath, LastDlError()));
#define KEYRIX_FB_RESOLVE(name)                                                               \
    name = reinterpret_cast<decltype(name)>(::dlsym(FLibrary.get(), #name));                  \
    if (name == nullptr)                                                                      \
        throw EDatabaseError(Format("The Firebird client library \"%s\" has no function %s", FPath, #name));
    KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_FB_RESOLVE)
#undef KEYRIX_FB_RESOLVE
}

TFbClient::~TFbClient() = default;

std::shared_ptr<TFbClient> TFbClient::Load(const std::string& path) {
    std::lock_guard guard(LibrariesLock);
    if (auto loaded = Libraries[path].lock()) return loaded;
    auto client = std::make_shared<TFbClient>(TKey(), path);
    Libraries[path] = client;
    return client;
}

}  // namespace keyrix

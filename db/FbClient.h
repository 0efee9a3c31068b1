// The Firebird client library, loaded at run time from the path FindClientLibrary gives.
// Only its declarations come from ibase.h; every function is looked up in the loaded
// library, so the program starts without one and reports a missing library as an error.
#pragma once

#include <ibase.h>

#include <memory>
#include <string>

namespace keyrix {

// The client functions the layer calls.
#define KEYRIX_FB_CLIENT_FUNCTIONS(X)                                                         \
    X(isc_attach_database) X(isc_detach_database) X(isc_start_transaction)                    \
    X(isc_commit_transaction) X(isc_rollback_transaction) X(isc_dsql_allocate_statement)      \
    X(isc_dsql_prepare) X(isc_dsql_describe) X(isc_dsql_describe_bind) X(isc_dsql_execute)    \
    X(isc_dsql_execute2) X(isc_dsql_execute_immediate) X(isc_dsql_fetch)                      \
    X(isc_dsql_free_statement) X(isc_dsql_sql_info) X(isc_open_blob2) X(isc_get_segment)      \
    X(isc_close_blob) X(fb_interpret) X(isc_sqlcode) X(fb_cancel_operation)

class TFbClient {
public:
    // The library at the path (a bare name goes through the dynamic linker's search), one
    // instance per path for the whole process. Raises EDatabaseError when it cannot be
    // loaded or lacks a function.
    static std::shared_ptr<TFbClient> Load(const std::string& path);

    // Load's way of making one; the key keeps everyone else to Load.
    class TKey {
        friend class TFbClient;
        TKey() = default;
    };
    TFbClient(TKey, std::string path);
    TFbClient(const TFbClient&) = delete;
    TFbClient& operator=(const TFbClient&) = delete;
    ~TFbClient();

    const std::string& Path() const { return FPath; }

#define KEYRIX_FB_MEMBER(name) decltype(&::name) name = nullptr;
    KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_FB_MEMBER)
#undef KEYRIX_FB_MEMBER

private:
    struct TLibraryCloser {
        void operator()(void* handle) const;
    };

    std::string FPath;
    std::unique_ptr<void, TLibraryCloser> FLibrary;
};

}  // namespace keyrix

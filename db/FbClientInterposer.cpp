#include "db/FbClientInterposer.h"

#include <atomic>
#include <cstdarg>
#include <iterator>
#include <stdexcept>

namespace keyrix {

namespace {

constexpr const char* EntryNames[] = {
#define KEYRIX_FB_NAME(name) #name,
    KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_FB_NAME)
#undef KEYRIX_FB_NAME
};
static_assert(std::size(EntryNames) == static_cast<std::size_t>(TFbEntry::Count));

std::atomic<bool> Installed{false};
// Set while the forwarders are in the table.
std::atomic<IFbClientObserver*> Observer{nullptr};

template <TFbEntry Entry, class TInvoke>
ISC_STATUS Around(ISC_STATUS* status, const TFbArguments<Entry>& arguments, TInvoke invoke) {
    IFbClientObserver& observer = *Observer.load();
    TFbCall call(Entry, status, &arguments);
    if (const ISC_STATUS failed = observer.Before(call); failed != 0) return failed;
    const auto start = std::chrono::steady_clock::now();
    const ISC_STATUS result = invoke();
    const auto took = std::chrono::steady_clock::now() - start;
    observer.After(call, result, std::chrono::duration_cast<std::chrono::nanoseconds>(took));
    return result;
}

template <TFbEntry Entry, class TFunction = typename detail::TFbFunctionOf<Entry>::type>
struct TForward;

template <TFbEntry Entry, class... TArguments>
struct TForward<Entry, ISC_STATUS (*)(ISC_STATUS*, TArguments...)> {
    static inline ISC_STATUS (*Real)(ISC_STATUS*, TArguments...) = nullptr;
    static ISC_STATUS Call(ISC_STATUS* status, TArguments... arguments) {
        return Around<Entry>(status, TFbArguments<Entry>(arguments...), [&] { return Real(status, arguments...); });
    }
};

// The variable arguments cannot be passed on as such, so the forwarder takes the one
// attachment the layer passes and hands the library that. The library's signature puts a
// short before the "...": clang warns that va_start after a promoted parameter is undefined
// by the standard, but every ABI the client library exists for passes it as an int.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
template <TFbEntry Entry>
struct TForward<Entry, ISC_STATUS (*)(ISC_STATUS*, isc_tr_handle*, short, ...)> {
    static inline ISC_STATUS (*Real)(ISC_STATUS*, isc_tr_handle*, short, ...) = nullptr;
    static ISC_STATUS Call(ISC_STATUS* status, isc_tr_handle* transaction, short count, ...) {
        va_list arguments;
        va_start(arguments, count);
        isc_db_handle* database = va_arg(arguments, isc_db_handle*);
        const int length = va_arg(arguments, int);
        const ISC_SCHAR* block = va_arg(arguments, const ISC_SCHAR*);
        va_end(arguments);
        if (count != 1) std::abort();  // a use the layer does not make
        return Around<Entry>(status, TFbArguments<Entry>(transaction, count, database, length, block),
                             [&] { return Real(status, transaction, count, database, length, block); });
    }
};
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

template <TFbEntry Entry, class TFunction>
void Install(TFunction& entry) {
    if constexpr (FbEntryInterposed(Entry)) {
        TForward<Entry>::Real = entry;
        entry = &TForward<Entry>::Call;
    }
}

template <TFbEntry Entry, class TFunction>
void Restore(TFunction& entry) {
    if constexpr (FbEntryInterposed(Entry)) entry = TForward<Entry>::Real;
}

}  // namespace

const char* FbEntryName(TFbEntry entry) {
    const auto index = static_cast<std::size_t>(entry);
    return index < std::size(EntryNames) ? EntryNames[index] : "?";
}

TFbClientInterposer::TFbClientInterposer(std::shared_ptr<TFbClient> client, IFbClientObserver& observer)
    : FClient(std::move(client)) {
    if (Installed.exchange(true)) throw std::logic_error("only one client interposer at a time");
    Observer = &observer;
    TFbClient& table = *FClient;
#define KEYRIX_FB_INSTALL(name) Install<TFbEntry::name>(table.name);
    KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_FB_INSTALL)
#undef KEYRIX_FB_INSTALL
}

TFbClientInterposer::~TFbClientInterposer() {
    TFbClient& table = *FClient;
#define KEYRIX_FB_RESTORE(name) Restore<TFbEntry::name>(table.name);
    KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_FB_RESTORE)
#undef KEYRIX_FB_RESTORE
    Observer = nullptr;
    Installed = false;
}

}  // namespace keyrix

// Forwarders in front of the entries of a TFbClient's function table, for the bench's call
// recorder and the tests' fault injection; the program itself never links it. Every
// connection of the process that loads the library's path calls through the one table, so
// while an interposer lives every such call, from any connection, goes past its observer:
// before the call (which may fail it without calling the library) and after it (its
// result and the time the library took).
//
// The forwarders are generated from KEYRIX_FB_CLIENT_FUNCTIONS. fb_interpret, isc_sqlcode
// and fb_cancel_operation keep the library's own functions: the first two only read a status
// vector, and the layer's watchdog thread calls the last one, whose calls must neither be
// counted with the run's nor failed.
#pragma once

#include "db/FbClient.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <tuple>

namespace keyrix {

enum class TFbEntry : std::uint8_t {
#define KEYRIX_FB_ENTRY(name) name,
    KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_FB_ENTRY)
#undef KEYRIX_FB_ENTRY
        Count
};

// The function's name, "isc_dsql_prepare".
const char* FbEntryName(TFbEntry entry);

constexpr bool FbEntryInterposed(TFbEntry entry) {
    return entry != TFbEntry::fb_interpret && entry != TFbEntry::isc_sqlcode && entry != TFbEntry::fb_cancel_operation;
}

namespace detail {

template <TFbEntry Entry>
struct TFbFunctionOf;
#define KEYRIX_FB_FUNCTION_OF(name)                                                           \
    template <>                                                                               \
    struct TFbFunctionOf<TFbEntry::name> {                                                    \
        using type = decltype(&::name);                                                       \
    };
KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_FB_FUNCTION_OF)
#undef KEYRIX_FB_FUNCTION_OF

template <class TFunction>
struct TFbArgumentsOf;
template <class... TArguments>
struct TFbArgumentsOf<ISC_STATUS (*)(ISC_STATUS*, TArguments...)> {
    using type = std::tuple<TArguments...>;
};
// isc_start_transaction's attachments come as variable arguments; the layer starts every
// transaction on one, so its call carries that one attachment's three.
template <>
struct TFbArgumentsOf<ISC_STATUS (*)(ISC_STATUS*, isc_tr_handle*, short, ...)> {
    using type = std::tuple<isc_tr_handle*, short, isc_db_handle*, int, const ISC_SCHAR*>;
};

}  // namespace detail

// An entry's arguments after the status vector, as the layer passed them.
template <TFbEntry Entry>
using TFbArguments = typename detail::TFbArgumentsOf<typename detail::TFbFunctionOf<Entry>::type>::type;

// One call, as the observer sees it.
class TFbCall {
public:
    TFbCall(TFbEntry entry, ISC_STATUS* status, const void* arguments)
        : Entry(entry), Status(status), FArguments(arguments) {}

    const TFbEntry Entry;
    ISC_STATUS* const Status;
    // What the observer keeps between Before and After of this call (the call's own, so
    // calls of several threads do not mix).
    std::array<std::uint64_t, 2> Memo{};

    // The arguments; Entry must be this entry.
    template <TFbEntry Which>
    const TFbArguments<Which>& Arguments() const {
        if (Which != Entry) std::abort();  // the observer's switch is wrong
        return *static_cast<const TFbArguments<Which>*>(FArguments);
    }

private:
    const void* FArguments;
};

class IFbClientObserver {
public:
    // Before the library's function. 0 lets the call go on; anything else is the call's
    // answer instead of the library's, the observer having filled the status vector as the
    // library would have.
    virtual ISC_STATUS Before(TFbCall& call) = 0;
    // After the library's function answered; not for a call Before failed.
    virtual void After(TFbCall& call, ISC_STATUS result, std::chrono::nanoseconds took) = 0;

protected:
    ~IFbClientObserver() = default;
};

class TFbClientInterposer {
public:
    // Takes over the client's interposed entries for the observer until destroyed. One at
    // a time per process (the forwarders are plain functions); a second raises
    // std::logic_error.
    TFbClientInterposer(std::shared_ptr<TFbClient> client, IFbClientObserver& observer);
    TFbClientInterposer(const TFbClientInterposer&) = delete;
    TFbClientInterposer& operator=(const TFbClientInterposer&) = delete;
    // Puts the library's own functions back.
    ~TFbClientInterposer();

    // The table, whose entries that are not interposed are the library's own.
    TFbClient& Client() const { return *FClient; }

private:
    std::shared_ptr<TFbClient> FClient;
};

}  // namespace keyrix

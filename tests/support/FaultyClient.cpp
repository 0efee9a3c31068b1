#include "tests/support/FaultyClient.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace keyrix::test {

// The counting and the fault, called around every interposed call. The watchdog thread may
// read while the run's thread calls, so the counters are atomics and the rest is behind the
// lock.
class TFaultyClient::TFaults final : public IFbClientObserver {
public:
    explicit TFaults(decltype(&::fb_cancel_operation) cancel) : FCancel(cancel) {}

    ISC_STATUS Before(TFbCall& call) override {
        if (!Armed.load()) return 0;
        call.Memo[0] = 1;  // counted
        const std::uint64_t number = ++CallCount;
        const bool fail = number == FailAt.load();
        if (RecordNames || fail) {
            const std::string detail = Detail(call);
            const std::string name = std::string(FbEntryName(call.Entry)) + (detail.empty() ? "" : "(" + detail + ")");
            std::lock_guard guard(Lock);
            if (RecordNames) CallNames.push_back(name);
            if (fail) FiredName = name;
        }
        if (!fail) return 0;
        FiredEntry = static_cast<int>(call.Entry);
        return MakeFault(call.Status, number);
    }

    void After(TFbCall& call, ISC_STATUS result, std::chrono::nanoseconds) override {
        if (call.Entry != TFbEntry::isc_attach_database || call.Memo[0] == 0 || result != 0) return;
        const isc_db_handle* handle = std::get<2>(call.Arguments<TFbEntry::isc_attach_database>());
        std::lock_guard guard(Lock);
        Attachments.push_back(*handle);
    }

    std::atomic<bool> Armed{false};
    std::atomic<std::uint64_t> CallCount{0};
    std::atomic<std::uint64_t> FailAt{0};
    std::atomic<int> FiredEntry{-1};
    std::atomic<TClientFault> Fault{TClientFault::ServerError};
    std::atomic<bool> RecordNames{false};
    mutable std::mutex Lock;
    std::string FiredName;
    std::vector<std::string> CallNames;
    std::vector<isc_db_handle> Attachments;  // opened while armed

private:
    // Tells calls of one entry apart in the names: the statement's option, the text run
    // immediately.
    static std::string Detail(const TFbCall& call) {
        if (call.Entry == TFbEntry::isc_dsql_free_statement) {
            const auto option = std::get<1>(call.Arguments<TFbEntry::isc_dsql_free_statement>());
            return option == DSQL_drop ? "DSQL_drop" : option == DSQL_close ? "DSQL_close" : "DSQL_unprepare";
        }
        if (call.Entry == TFbEntry::isc_dsql_execute_immediate) {
            const auto& [database, transaction, length, text, dialect, sqlda] =
                call.Arguments<TFbEntry::isc_dsql_execute_immediate>();
            return text != nullptr ? std::string(text, length != 0 ? length : std::char_traits<char>::length(text)) : "";
        }
        return "";
    }

    // Fills the status vector as the server or the network would have; answers its error code.
    ISC_STATUS MakeFault(ISC_STATUS* status, std::uint64_t number) {
        if (Fault == TClientFault::LostConnection) {
            std::vector<isc_db_handle> attachments;
            {
                std::lock_guard guard(Lock);
                attachments.swap(Attachments);
            }
            // The connection really goes: the calls after this one meet a dead attachment.
            for (isc_db_handle handle : attachments) {
                ISC_STATUS_ARRAY ignored{};
                FCancel(ignored, &handle, fb_cancel_abort);
            }
            status[0] = isc_arg_gds;
            status[1] = isc_network_error;
            status[2] = isc_arg_string;
            status[3] = reinterpret_cast<ISC_STATUS>("127.0.0.1");
            status[4] = isc_arg_gds;
            status[5] = isc_net_read_err;
            status[6] = isc_arg_end;
            return status[1];
        }
        std::snprintf(FFaultText, sizeof FFaultText, "Test fault on client call %llu",
                      static_cast<unsigned long long>(number));
        status[0] = isc_arg_gds;
        status[1] = isc_random;
        status[2] = isc_arg_string;
        status[3] = reinterpret_cast<ISC_STATUS>(FFaultText);
        status[4] = isc_arg_end;
        return status[1];
    }

    decltype(&::fb_cancel_operation) FCancel;
    // The text of the server error, alive while the layer reads the status vector.
    char FFaultText[64] = {};
};

TFaultyClient::TFaultyClient(const std::string& libraryPath) {
    std::shared_ptr<TFbClient> client = TFbClient::Load(libraryPath);
    FFaults = std::make_unique<TFaults>(client->fb_cancel_operation);
    FInterposer = std::make_unique<TFbClientInterposer>(std::move(client), *FFaults);
}

TFaultyClient::~TFaultyClient() {
    Disarm();
    FInterposer.reset();
}

void TFaultyClient::Arm(std::uint64_t failAt, TClientFault fault, bool recordNames) {
    Disarm();
    {
        std::lock_guard guard(FFaults->Lock);
        FFaults->CallNames.clear();
        FFaults->Attachments.clear();
        FFaults->FiredName.clear();
    }
    FFaults->CallCount = 0;
    FFaults->FiredEntry = -1;
    FFaults->FailAt = failAt;
    FFaults->Fault = fault;
    FFaults->RecordNames = recordNames;
    FFaults->Armed = true;
}

void TFaultyClient::Disarm() { FFaults->Armed = false; }

std::uint64_t TFaultyClient::Calls() const { return FFaults->CallCount.load(); }

bool TFaultyClient::Fired() const { return FFaults->FiredEntry.load() >= 0; }

std::string TFaultyClient::FiredIn() const {
    std::lock_guard guard(FFaults->Lock);
    return FFaults->FiredName;
}

std::vector<std::string> TFaultyClient::Names() const {
    std::lock_guard guard(FFaults->Lock);
    return FFaults->CallNames;
}

}  // namespace keyrix::test

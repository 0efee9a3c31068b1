// Makes one call into the Firebird client library fail, for the loops that fail every call
// of a run in turn. It observes the client table's entries through a TFbClientInterposer
// (as bench/ClientCalls does to count them), counts the calls made while it is armed and
// fails the Nth one without calling the server:
// - as an error the server reports (isc_random, "Test fault on client call N"), or
// - as a lost connection (isc_network_error, isc_net_read_err). The attachments opened
//   while armed are then aborted for real (fb_cancel_operation, fb_cancel_abort), so every
//   later call meets a connection that is really gone and the server drops the pass's
//   transaction as it would after a network failure.
// fb_interpret, isc_sqlcode and fb_cancel_operation are neither counted nor failed: the
// interposer leaves them to the library (see db/FbClientInterposer.h).
#pragma once

#include "db/FbClientInterposer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace keyrix::test {

enum class TClientFault { ServerError, LostConnection };

class TFaultyClient {
public:
    // Takes over the entries of the library at the path (as dbutils::FindClientLibrary
    // names it) until destroyed. One at a time per process.
    explicit TFaultyClient(const std::string& libraryPath);
    TFaultyClient(const TFaultyClient&) = delete;
    TFaultyClient& operator=(const TFaultyClient&) = delete;
    // Puts the library's own functions back.
    ~TFaultyClient();

    // Counts the calls from now on and fails call number failAt (1 is the first; 0 fails
    // none). With recordNames, the name of every call is kept (see Names).
    void Arm(std::uint64_t failAt = 0, TClientFault fault = TClientFault::ServerError, bool recordNames = false);
    // Stops counting and failing; the counts stay readable.
    void Disarm();

    std::uint64_t Calls() const;
    // Whether the fault was made, and the name of the call it was made in, with the
    // statement's option or text where one entry serves several purposes
    // ("isc_dsql_free_statement(DSQL_drop)", "isc_dsql_execute_immediate(savepoint x)").
    bool Fired() const;
    std::string FiredIn() const;
    // The names of the calls since Arm(…, true), in order, as FiredIn gives them.
    std::vector<std::string> Names() const;

private:
    class TFaults;
    std::unique_ptr<TFaults> FFaults;
    // Goes first, before the observer it calls.
    std::unique_ptr<TFbClientInterposer> FInterposer;
};

}  // namespace keyrix::test

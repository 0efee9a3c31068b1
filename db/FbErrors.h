// The errors of the database layer.
#pragma once

#include "common/Exceptions.h"

#include <ibase.h>

#include <string>
#include <vector>

namespace keyrix {

// Any failure of the database layer, also those the client side finds by itself (a
// closed connection, an unknown column, a client library that cannot be loaded).
KEYRIX_DECLARE_EXCEPTION(EDatabaseError, Exception);

// An error the Firebird client reported in a status vector: the server's errors and the
// client library's own (network, attach). The imports handle these per record, so the
// codes stay at hand for callers that tell errors apart.
class EFirebirdError : public EDatabaseError {
public:
    EFirebirdError(std::string message, std::vector<ISC_STATUS> errorCodes, int sqlCode)
        : EDatabaseError(std::move(message)), FErrorCodes(std::move(errorCodes)), FSQLCode(sqlCode) {}
    const char* ClassName() const noexcept override { return "EFirebirdError"; }

    // The isc_arg_gds codes of the status vector, in order; the first is the main error.
    const std::vector<ISC_STATUS>& ErrorCodes() const { return FErrorCodes; }
    ISC_STATUS ErrorCode() const { return FErrorCodes.empty() ? 0 : FErrorCodes.front(); }
    bool HasCode(ISC_STATUS code) const;
    int SQLCode() const { return FSQLCode; }

    // One of the codes says that the attachment is gone (network, shutdown, killed).
    bool ConnectionLost() const;
    // The server refused what it was asked, for reasons of the data or the statement (a
    // constraint, an exception, a conversion): the attachment and its handles still work.
    // False for the errors the client library produces itself: a lost connection, an
    // invalid handle, a descriptor that does not fit, a cancelled call, no memory. The
    // imports handle the first kind per record and end on the second.
    bool ServerReported() const;

private:
    std::vector<ISC_STATUS> FErrorCodes;
    int FSQLCode;
};

// The isc_arg_gds codes of a status vector.
std::vector<ISC_STATUS> StatusCodes(const ISC_STATUS* status);

// The message of a database error: the object's dotted name path, ":" and a line break when
// the path is longer than one character, then every message line of the status vector with
// its first letter upper-cased, ending with "." and a line break. The lines are those the
// client library's interpreter gives.
std::string ErrorMessageText(const std::string& namePath, const std::vector<std::string>& statusLines);

}  // namespace keyrix

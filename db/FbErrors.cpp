#include "db/FbErrors.h"

#include "common/TextUtils.h"

#include <algorithm>
#include <cctype>

namespace keyrix {

namespace {

// The codes after which the attachment cannot be used any more.
constexpr ISC_STATUS LostConnectionCodes[] = {
    isc_network_error, isc_net_read_err, isc_net_write_err, isc_lost_db_connection,
    isc_conn_lost,     isc_shutdown,     isc_att_shutdown,
};

// The client library's own errors: the handles, the descriptors or the call itself are at
// fault, not the record.
constexpr ISC_STATUS ClientLibraryCodes[] = {
    isc_bad_db_handle,   isc_bad_req_handle,    isc_bad_segstr_handle,    isc_bad_trans_handle,
    isc_bad_stmt_handle, isc_bad_dpb_form,      isc_bad_tpb_form,         isc_bad_msg_vec,
    isc_unavailable,     isc_virmemexh,         isc_dsql_sqlda_err,       isc_dsql_var_count_err,
    isc_dsql_sqlda_value_err, isc_dsql_sqlvar_index, isc_dsql_wrong_param_num, isc_dsql_cursor_err,
    isc_cancelled,
};

// Arguments that take two slots of the vector after their tag, the others take one.
bool TakesTwoSlots(ISC_STATUS argument) { return argument == isc_arg_cstring; }

}  // namespace

bool EFirebirdError::HasCode(ISC_STATUS code) const {
    return std::find(FErrorCodes.begin(), FErrorCodes.end(), code) != FErrorCodes.end();
}

bool EFirebirdError::ConnectionLost() const {
    return std::any_of(std::begin(LostConnectionCodes), std::end(LostConnectionCodes),
                       [this](ISC_STATUS code) { return HasCode(code); });
}

bool EFirebirdError::ServerReported() const {
    if (FErrorCodes.empty() || ConnectionLost()) return false;
    return std::none_of(std::begin(ClientLibraryCodes), std::end(ClientLibraryCodes),
                        [this](ISC_STATUS code) { return HasCode(code); });
}

std::vector<ISC_STATUS> StatusCodes(const ISC_STATUS* status) {
    std::vector<ISC_STATUS> codes;
    // Bounded by the vector's size: a malformed vector must not run off its end.
    for (int i = 0; i + 1 < ISC_STATUS_LENGTH && status[i] != isc_arg_end;) {
        ISC_STATUS argument = status[i];
        if (argument == isc_arg_gds) codes.push_back(status[i + 1]);
        i += TakesTwoSlots(argument) ? 3 : 2;
    }
    return codes;
}

std::string ErrorMessageText(const std::string& namePath, const std::vector<std::string>& statusLines) {
    std::string text;
    if (namePath.size() > 1) text = namePath + ":\r\n";
    // The server's lines may quote values (a duplicate key, say), which must not start lines
    // of their own in a log.
    for (std::string line : statusLines) {
        line = VisibleText(line);
        if (!line.empty()) line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
        if (line.empty() || line.back() != '.') line += '.';
        text += line + "\r\n";
    }
    return text;
}

}  // namespace keyrix

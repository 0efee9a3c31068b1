#include "db/FbSqlText.h"

#include <cctype>

namespace keyrix {

namespace {

bool NameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool NamePart(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

// The closing delimiter of a q'<open>...<close>' literal.
char QuoteClose(char open) {
    switch (open) {
        case '(': return ')';
        case '[': return ']';
        case '{': return '}';
        case '<': return '>';
        default: return open;
    }
}

}  // namespace

TParsedSql ParseSqlMarkers(const std::string& sql) {
    TParsedSql parsed;
    parsed.Text.reserve(sql.size());
    const std::size_t n = sql.size();
    std::size_t i = 0;
    // Copies sql[i, end) unchanged and moves on.
    auto copyTo = [&](std::size_t end) {
        parsed.Text.append(sql, i, end - i);
        i = end;
    };
    while (i < n) {
        const char c = sql[i];
        const char next = i + 1 < n ? sql[i + 1] : '\0';
        if ((c == 'q' || c == 'Q') && next == '\'' && i + 2 < n &&
            (i == 0 || !NamePart(sql[i - 1]))) {
            const std::string close = std::string(1, QuoteClose(sql[i + 2])) + "'";
            std::size_t end = sql.find(close, i + 3);
            copyTo(end == std::string::npos ? n : end + 2);
        } else if (c == '\'' || c == '"') {
            // A doubled quote inside is part of the text; the scan just restarts after it.
            std::size_t end = sql.find(c, i + 1);
            copyTo(end == std::string::npos ? n : end + 1);
        } else if (c == '-' && next == '-') {
            std::size_t end = sql.find('\n', i + 2);
            copyTo(end == std::string::npos ? n : end + 1);
        } else if (c == '/' && next == '*') {
            std::size_t end = sql.find("*/", i + 2);
            copyTo(end == std::string::npos ? n : end + 2);
        } else if (c == ':' && NameStart(next)) {
            std::size_t end = i + 1;
            while (end < n && NamePart(sql[end])) ++end;
            parsed.Markers.push_back(sql.substr(i + 1, end - i - 1));
            parsed.Text += '?';
            i = end;
        } else {
            copyTo(i + 1);
        }
    }
    return parsed;
}

}  // namespace keyrix

// The `:name` parameter markers of the system's SQL texts.
#pragma once

#include <string>
#include <vector>

namespace keyrix {

struct TParsedSql {
    std::string Text;                  // the SQL with every marker replaced by "?"
    std::vector<std::string> Markers;  // the marker names in text order, each occurrence once
};

// Finds the markers: a colon followed by a name. A colon inside a string literal ('...',
// also q'{...}'), a quoted identifier ("...") or a comment (-- to the line end, /* */) is
// left alone, as is one not followed by a name.
TParsedSql ParseSqlMarkers(const std::string& sql);

}  // namespace keyrix

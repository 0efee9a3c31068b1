#include "db/FbSqlText.h"

#include <gtest/gtest.h>

using namespace keyrix;

namespace {

struct TMarkerCase {
    const char* Name;
    const char* Sql;
    const char* Text;
    std::vector<std::string> Markers;
};

void PrintTo(const TMarkerCase& c, std::ostream* out) { *out << c.Name; }

class Markers : public ::testing::TestWithParam<TMarkerCase> {};

}  // namespace

TEST_P(Markers, BecomePositionalInTextOrder) {
    const TMarkerCase& c = GetParam();
    TParsedSql parsed = ParseSqlMarkers(c.Sql);
    EXPECT_EQ(parsed.Text, c.Text);
    EXPECT_EQ(parsed.Markers, c.Markers);
}

INSTANTIATE_TEST_SUITE_P(
    DbSqlText, Markers,
    ::testing::Values(
        TMarkerCase{"RepeatedMarker", "insert into sys_gtt (id)   select :id from rdb$database where not exists (select * from "
                    "sys_gtt where id = :id)",
                    "insert into sys_gtt (id)   select ? from rdb$database where not exists (select * from "
                    "sys_gtt where id = ?)",
                    {"id", "id"}},
        TMarkerCase{"NoMarker", "select 1 from rdb$database", "select 1 from rdb$database", {}},
        TMarkerCase{"StringLiterals", "select ':x', 'it''s :y', :a from t", "select ':x', 'it''s :y', ? from t", {"a"}},
        TMarkerCase{"QuotedIdentifier", "select \"odd:name\" from t where c = :c", "select \"odd:name\" from t where c = ?", {"c"}},
        TMarkerCase{"Comments", "select a -- :no\n, :b /* :no */ from t", "select a -- :no\n, ? /* :no */ from t", {"b"}},
        TMarkerCase{"QStrings", "select q'{:no}' , Q'(a:b)', :yes from t", "select q'{:no}' , Q'(a:b)', ? from t", {"yes"}},
        TMarkerCase{"NamesAndCase", "update t set a=:first,b=:Second_2$ where c = :first",
                    "update t set a=?,b=? where c = ?",
                    {"first", "Second_2$", "first"}},
        TMarkerCase{"NoNameAfterColon", "select cast(x as time) from t where y = :1 or z = : w", "select cast(x as time) from t where y = :1 or z = : w", {}},
        TMarkerCase{"UnterminatedLiteral", "select 'open", "select 'open", {}}),
    [](const ::testing::TestParamInfo<TMarkerCase>& info) { return std::string(info.param.Name); });

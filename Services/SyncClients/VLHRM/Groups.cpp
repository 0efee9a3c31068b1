// Company and site groups: every HRM employee is a member of one of each.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/Statements.h"
#include "common/TextUtils.h"
#include "db/DBUtils.h"

namespace keyrix {

namespace {

using namespace statements::groups;

}  // namespace

bool TDataModule1::IsGroupMember(std::int64_t userId, std::int64_t groupId) {
    dbutils::PQuery query = dbutils::CachedQuery(GroupMemberHandle, GroupMemberSql, "Sync", PassTransaction);
    query->ExecuteWith({userId, groupId});
    return !query->Eof();
}

void TDataModule1::AddToCompanySiteGroups(THrmGroupCache& cache, std::int32_t companyNumber, std::int32_t siteNumber,
                                          const std::string& companyName, const std::string& siteName,
                                          std::int64_t userId) {
    if (!cache.Valid || cache.CompanyNumber != companyNumber || cache.SiteNumber != siteNumber) {
        dbutils::PQuery lookup = dbutils::CachedQuery(GroupLookupHandle, GroupLookupSql, "Sync", PassTransaction);
        lookup->SetSingleton(true);  // one row, from rdb$database
        lookup->ExecuteWith({companyNumber, siteNumber});
        const TFbField company = lookup->FieldByName("GROUP_COMPANY");
        const TFbField site = lookup->FieldByName("GROUP_SITE");
        cache = {true, companyNumber, siteNumber, company.IsNull() ? 0 : company.AsInt64(),
                 site.IsNull() ? 0 : site.AsInt64()};
    }

    if (cache.CompanyGroup == 0 || cache.SiteGroup == 0) {
        BeforeEmployeeWrite();
        dbutils::TQueryScope create(dbutils::PrepareQuery(GroupCreateSql, PassTransaction), false);
        if (cache.CompanyGroup == 0) {
            create->ExecuteWith({companyName, siteName, TValue(), companyNumber});
            cache.CompanyGroup = create->FieldByName("ID").AsInt64();
        }
        if (cache.SiteGroup == 0) {
            create->ExecuteWith({siteName, siteName, siteNumber, TValue()});
            cache.SiteGroup = create->FieldByName("ID").AsInt64();
        }
        create.Free();
    }
    if (cache.CompanyGroup == 0 && cache.SiteGroup == 0) return;

    // Site group first, then the company group; a member is not offered again.
    const std::pair<std::int64_t, const std::string*> groups[] = {{cache.SiteGroup, &siteName},
                                                                   {cache.CompanyGroup, &companyName}};
    for (const auto& [groupId, groupName] : groups) {
        if (groupId == 0 || IsGroupMember(userId, groupId)) continue;
        BeforeEmployeeWrite();
        dbutils::PQuery add = dbutils::CachedQuery(GroupAddHandle, GroupAddSql, "Sync", PassTransaction);
        add->ExecuteWith({userId, groupId, std::int32_t{-1}});
        if (!add->Eof())
            throw EGroupAddError(Format("Failed to add group \"%s\"; Object \"%s\"; Error \"%s\"",
                                        VisibleText(*groupName), VisibleText(add->FieldByName("OBJECT_NAME").AsString()),
                                        VisibleText(add->FieldByName("OUT_SQLSTATE").AsString())));
    }
}

}  // namespace keyrix

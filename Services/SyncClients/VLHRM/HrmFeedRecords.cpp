#include "Services/SyncClients/VLHRM/HrmFeedRecords.h"

#include "common/Format.h"
#include "common/TextUtils.h"

#include <utility>

namespace keyrix {

namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

}  // namespace

std::optional<TDateTime> TerminationDate(std::string_view text) {
    if (text.size() != 19) return std::nullopt;
    std::optional<std::int32_t> year = StrictWholeNumber(text.substr(0, 4), 1, 9999);
    std::optional<std::int32_t> month = StrictWholeNumber(text.substr(5, 2), 1, 12);
    std::optional<std::int32_t> day = StrictWholeNumber(text.substr(8, 2), 1, 31);
    if (!year || !month || !day || *day > DaysInMonth(*year, *month))
        throw EConvertError(Format("\"%s\" is not a valid date", VisibleText(text)));
    TDateTime date;
    date.Year = *year;
    date.Month = *month;
    date.Day = *day;
    return date;
}

THrmEmployee ReadHrmEmployee(const TFeedReader& reader) {
    THrmEmployee employee;
    employee.EmployeeNumber = reader.Text("EmployeeID");
    employee.FirstName = reader.Text("FirstName", 30);
    employee.LastName = reader.Text("LastName", 30);
    std::string email = reader.Text("Email", 60);
    if (!email.empty()) employee.Email = std::move(email);
    employee.Occupation = reader.Text("PositionTitle", 100);
    employee.CompanyNumber = WholeNumber(reader.Text("CompanyId"));
    employee.CompanyName = reader.Text("CompanyName", 30);
    employee.SiteName = reader.Text("SiteName", 30);
    employee.SiteNumber = WholeNumber(reader.Text("SiteId"));
    employee.TerminationDate = TerminationDate(reader.Text("TerminationDate"));
    return employee;
}

}  // namespace keyrix

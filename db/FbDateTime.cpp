#include "db/FbDateTime.h"

#include "common/Format.h"

namespace keyrix {

namespace {

// The day number of 17 November 1858 in the count below (days from 1 March of year 0).
constexpr long FbEpoch = 678881;

// Days since 1 March of year 0 in the proleptic Gregorian calendar: the year starts in
// March, so the leap day comes last.
long DaysFromCivil(long year, long month, long day) {
    year -= month <= 2;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yearOfEra = year - era * 400;
    const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra;
}

void CivilFromDays(long days, int& year, int& month, int& day) {
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long dayOfEra = days - era * 146097;
    const long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long monthIndex = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2));
}

}  // namespace

ISC_DATE EncodeFbDate(int year, int month, int day) {
    return static_cast<ISC_DATE>(DaysFromCivil(year, month, day) - FbEpoch);
}

ISC_TIME EncodeFbTime(int hour, int minute, int second, int millisecond) {
    return static_cast<ISC_TIME>(((hour * 60 + minute) * 60 + second) * 10000 + millisecond * 10);
}

ISC_TIMESTAMP EncodeFbTimestamp(const TDateTime& value) {
    ISC_TIMESTAMP stamp;
    stamp.timestamp_date = EncodeFbDate(value.Year, value.Month, value.Day);
    stamp.timestamp_time = EncodeFbTime(value.Hour, value.Minute, value.Second, value.Millisecond);
    return stamp;
}

TDateTime DecodeFbTimestamp(ISC_DATE date, ISC_TIME time) {
    TDateTime value;
    CivilFromDays(static_cast<long>(date) + FbEpoch, value.Year, value.Month, value.Day);
    value.Millisecond = static_cast<int>(time / 10 % 1000);
    const unsigned seconds = time / 10000;
    value.Second = static_cast<int>(seconds % 60);
    value.Minute = static_cast<int>(seconds / 60 % 60);
    value.Hour = static_cast<int>(seconds / 3600);
    return value;
}

std::string FbDateText(ISC_DATE date) {
    TDateTime value = DecodeFbTimestamp(date, 0);
    return Format("%.4d-%.2d-%.2d", value.Year, value.Month, value.Day);
}

std::string FbTimeText(ISC_TIME time) {
    TDateTime value = DecodeFbTimestamp(0, time);
    std::string text = Format("%.2d:%.2d:%.2d", value.Hour, value.Minute, value.Second);
    if (value.Millisecond != 0) text += Format(".%.3d", value.Millisecond);
    return text;
}

}  // namespace keyrix

// Firebird's encoding of dates and times: a date counts days from 17 November 1858, a time
// counts ten-thousandths of a second from midnight.
#pragma once

#include "common/Variant.h"

#include <ibase.h>

#include <string>

namespace keyrix {

ISC_DATE EncodeFbDate(int year, int month, int day);
ISC_TIME EncodeFbTime(int hour, int minute, int second, int millisecond);
ISC_TIMESTAMP EncodeFbTimestamp(const TDateTime& value);
TDateTime DecodeFbTimestamp(ISC_DATE date, ISC_TIME time);

// "YYYY-MM-DD", "HH:MM:SS" with ".mmm" when there are milliseconds.
std::string FbDateText(ISC_DATE date);
std::string FbTimeText(ISC_TIME time);

}  // namespace keyrix

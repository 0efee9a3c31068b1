#include "Services/SyncClients/VLHRM/Check.h"

#include "common/Exceptions.h"
#include "platform/PosixFiles.h"
#include "platform/Process.h"
#include "setup/SetupWindow.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <optional>

namespace keyrix {

namespace {

using TJson = nlohmann::json;
using TClock = std::chrono::system_clock;

// A summary is a few kilobytes; anything much larger is not one.
constexpr std::size_t MaxSummaryBytes = 1024 * 1024;
// A run summary may be this far ahead of the clock (clocks of the host drift); beyond it,
// its age cannot be told.
constexpr std::int64_t FutureToleranceSeconds = 5 * 60;
// The settings' defaults and bound: a file that says more was not written by a run.
constexpr std::int64_t DefaultWarningAgeMinutes = TSetup::DefaultWarningAgeMinutes;
constexpr std::int64_t DefaultCriticalAgeMinutes = TSetup::DefaultCriticalAgeMinutes;
constexpr std::int64_t MostAgeMinutes = TSetup::MostAgeMinutes;

const char* StateName(TCheckState state) {
    switch (state) {
        case TCheckState::Ok: return "OK";
        case TCheckState::Warning: return "WARNING";
        case TCheckState::Critical: return "CRITICAL";
        case TCheckState::Unknown: break;
    }
    return "UNKNOWN";
}

TCheckResult Result(TCheckState state, const std::string& text, const std::string& performance = "") {
    std::string line = fmt::format("KEYRIX SYNC {} - {}", StateName(state), text);
    if (!performance.empty()) line += " | " + performance;
    return {state, line};
}

TCheckResult Unknown(const std::string& text) { return Result(TCheckState::Unknown, text); }

// A text of the summary on the plugin's one line: line breaks and other controls (C1 ones
// too, which some terminals obey) become blanks, and '|', which starts the performance data,
// becomes '/'. The texts are valid UTF-8: the parser took nothing else.
std::string OneLine(std::string text, std::size_t most = 200) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (c1) {
            text.replace(i, 2, " ");
        } else if (byte < 0x20 || byte == 0x7F) {
            text[i] = ' ';
        } else if (text[i] == '|') {
            text[i] = '/';
        }
    }
    if (text.size() > most) {
        text.resize(most);
        // Not in the middle of a UTF-8 character.
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
        if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) text.pop_back();
        text += "...";
    }
    return text;
}

// "2024-05-01T06:00:00.123+02:00", as the summary writes its times. The years are bounded
// to what the clock's nanoseconds can hold (up to 2262): no run ran outside them.
std::optional<TClock::time_point> ParseTime(const TJson& value) {
    if (!value.is_string()) return std::nullopt;
    const std::string text = value.get<std::string>();
    std::tm tm{};
    int millis = 0, zoneHours = 0, zoneMinutes = 0, used = 0;
    char sign = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &millis, &sign, &zoneHours, &zoneMinutes, &used) != 10 ||
        static_cast<std::size_t>(used) != text.size() || (sign != '+' && sign != '-') || tm.tm_year < 1970 ||
        tm.tm_year > 2200 || tm.tm_mon < 1 ||
        tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60 ||
        zoneHours > 23 || zoneMinutes > 59 || millis < 0)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const std::time_t utc = ::timegm(&tm);
    const std::int64_t offset = (sign == '+' ? 1 : -1) * (zoneHours * 3600 + zoneMinutes * 60);
    return TClock::from_time_t(utc - offset) + std::chrono::milliseconds(millis);
}

std::optional<std::int64_t> Integer(const TJson& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<std::int64_t>();
}

bool Flag(const TJson& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() && it->get<bool>();
}

std::string Text(const TJson& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// "45 s", "12 min", "5 h", "3 d": how long ago, to the unit that reads best.
std::string Span(std::int64_t seconds) {
    if (seconds < 60) return fmt::format("{} s", seconds);
    if (seconds < 120 * 60) return fmt::format("{} min", seconds / 60);
    if (seconds < 48 * 3600) return fmt::format("{} h", seconds / 3600);
    return fmt::format("{} d", seconds / 86400);
}

}  // namespace

TCheckResult CheckSummaryText(std::string_view json, const std::string& path, TClock::time_point now) {
    const TJson summary = TJson::parse(json.begin(), json.end(), nullptr, false);
    const std::string file = fmt::format("the run summary \"{}\"", path);
    if (summary.is_discarded() || !summary.is_object()) return Unknown(file + " is not JSON");
    const std::string outcome = Text(summary, "outcome");
    const bool running = outcome == "running";
    const bool failed = outcome == "failed-startup" || outcome == "failed-work" || outcome == "failed-shutdown";
    if (!running && !failed && outcome != "done" && outcome != "guarded")
        return Unknown(fmt::format("{} has no known outcome (\"{}\")", file, OneLine(outcome, 40)));
    const auto start = ParseTime(summary.value("start", TJson()));
    const auto end = ParseTime(summary.value("end", TJson()));
    if (!start || (!running && !end)) return Unknown(file + " has no valid start and end times");

    const TJson monitoring = summary.value("monitoring", TJson::object());
    std::int64_t warningMinutes = Integer(monitoring, "warningAgeMinutes").value_or(DefaultWarningAgeMinutes);
    std::int64_t criticalMinutes = Integer(monitoring, "criticalAgeMinutes").value_or(DefaultCriticalAgeMinutes);
    if (warningMinutes < 1 || warningMinutes > MostAgeMinutes) warningMinutes = DefaultWarningAgeMinutes;
    if (criticalMinutes < 1 || criticalMinutes > MostAgeMinutes) criticalMinutes = DefaultCriticalAgeMinutes;

    // A run in progress is as old as its start; an ended one as its end.
    const std::int64_t age = std::chrono::duration_cast<std::chrono::seconds>(now - (running ? *start : *end)).count();
    if (age < -FutureToleranceSeconds)
        return Unknown(fmt::format("{} ends {} in the future: the host's clock or the file is wrong", file, Span(-age)));
    const std::int64_t shownAge = age < 0 ? 0 : age;
    const bool dryRun = Flag(summary, "dryRun");
    const bool committed = Flag(summary, "committed");

    TCheckState state = TCheckState::Ok;
    const auto raise = [&state](TCheckState to) {
        if (static_cast<int>(to) > static_cast<int>(state)) state = to;
    };
    std::string text = outcome + (dryRun ? " (dry run)" : "");
    if (running) {
        text += fmt::format(" for {}", Span(shownAge));
    } else {
        text += fmt::format(" {} ago", Span(shownAge));
    }
    if (age > criticalMinutes * 60) {
        raise(TCheckState::Critical);
        text += fmt::format(", older than {} min", criticalMinutes);
    } else if (age > warningMinutes * 60) {
        raise(TCheckState::Warning);
        text += fmt::format(", older than {} min", warningMinutes);
    }
    if (failed) raise(TCheckState::Critical);
    if (outcome == "guarded" || dryRun) raise(TCheckState::Warning);

    std::string performance =
        fmt::format("age={}s;{};{};0", shownAge, warningMinutes * 60, criticalMinutes * 60);
    if (!running) {
        const TJson hrm = summary.value("hrm", TJson::object());
        const TJson cards = summary.value("cardHolders", TJson::object());
        const auto count = [](const TJson& object, const char* key) { return Integer(object, key).value_or(0); };
        text += ": ";
        if (failed || outcome == "guarded") {
            const std::string error = Text(summary, "errorClass");
            const std::string message = Text(summary, "errorMessage");
            if (!error.empty()) text += OneLine(error, 60) + ": " + OneLine(message) + "; ";
        }
        text += fmt::format("{} processed, {} added, {} updated, {} deleted; cards {} added", count(hrm, "processed"),
                            count(hrm, "added"), count(hrm, "updated"), count(hrm, "deleted"),
                            count(cards, "addedSoyal"));
        if (count(cards, "updatedSoyal") > 0) text += fmt::format(", {} updated", count(cards, "updatedSoyal"));
        if (!committed) text += "; not committed: what the pass attempted";
        const std::int64_t durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(*end - *start).count();
        performance += fmt::format(" duration={:.3f}s;;;0", static_cast<double>(durationMs < 0 ? 0 : durationMs) / 1000.0);
        const std::pair<const char*, std::int64_t> figures[] = {
            {"processed", count(hrm, "processed")},
            {"added", count(hrm, "added")},
            {"updated", count(hrm, "updated")},
            {"deleted", count(hrm, "deleted")},
            {"cardholders", count(cards, "processed")},
            {"accounts_added", count(cards, "added")},
            {"accounts_updated", count(cards, "updated")},
            {"cards_added", count(cards, "addedSoyal")},
            {"cards_updated", count(cards, "updatedSoyal")},
            {"cards_associated", count(cards, "associated")},
        };
        for (const auto& [label, value] : figures) performance += fmt::format(" {}={};;;0", label, value);
        if (const auto feed = Integer(summary, "feedBytes")) performance += fmt::format(" feed={}B;;;0", *feed);
    }
    return Result(state, text, performance);
}

TCheckResult CheckSummaryFile(const std::string& path, TClock::time_point now) {
    std::string text;
    switch (const int error = platform::ReadSmallFile(path, 0, MaxSummaryBytes, text)) {
        case 0: return CheckSummaryText(text, path, now);
        case ENOENT:
            return Unknown(fmt::format("no run summary \"{}\": no run has ended here yet, or its summary could not be "
                                       "written (see the event log)",
                                       path));
        case EINVAL: return Unknown(fmt::format("the run summary \"{}\" is no regular file", path));
        case EFBIG: return Unknown(fmt::format("the run summary \"{}\" is larger than 1 MiB, too large for one", path));
        case EACCES:
            return Unknown(fmt::format("cannot read the run summary \"{}\": {} (the check's account must be in the group "
                                       "named by \"Monitoring\"/\"Summary group\")",
                                       path, SysErrorMessage(error)));
        default: return Unknown(fmt::format("cannot read the run summary \"{}\": {}", path, SysErrorMessage(error)));
    }
}

int RunCheck() {
    TCheckResult result;
    try {
        result = CheckSummaryFile(platform::ExecutableDirectory() + "VLHRMSync_last.json", TClock::now());
    } catch (...) {
        // Whatever went wrong, the monitoring system gets a plugin's answer, not a crash.
        result = Unknown("the check failed: " + OneLine(DescribeCurrentException().Message));
    }
    std::printf("%s\n", result.Line.c_str());
    std::fflush(stdout);
    return static_cast<int>(result.State);
}

}  // namespace keyrix

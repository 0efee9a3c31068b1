// The run's figures for Prometheus: a file in the text exposition format, for the textfile
// collector of node_exporter. The metric names are what alert rules match on.
#pragma once

#include "Services/SyncClients/VLHRM/RunSummary.h"

#include <optional>
#include <string>

namespace keyrix {

// The exposition text of an ended run. lastSuccess: the end of the last run that was done
// and committed before this one, in seconds since the epoch (none: never); this run's end
// replaces it when this run is such a run.
std::string MetricsText(const TRunSummary& summary, std::optional<double> lastSuccess);

// keyrix_sync_last_success_timestamp_seconds of an earlier file, when it holds a usable one.
std::optional<double> LastSuccessOf(const std::string& metricsText);
// The same read from the file at the path; none when it is missing, is no regular file or
// holds no such line. Never waits: a FIFO in its place is not opened for reading.
std::optional<double> ReadLastSuccess(const std::string& path);

// Replaces the metrics file (mode 0644, for node_exporter's account), carrying the last
// success over from the file it replaces. Raises EWriteError naming the file.
void WriteMetricsFile(const std::string& path, const TRunSummary& summary);

}  // namespace keyrix

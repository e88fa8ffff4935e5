// The Prometheus text exposition of the service's figures: the same text for
// "varnholt-info --prometheus" (from the info query's replies) and for the
// service's own GET /metrics (from its memory). Depends on the standard
// library and the query layouts only, so the tool links it without the
// service.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "info/InfoQuery.h"

struct MetricsSnapshot {
    InfoLogMergeReplyData merge{};
    std::vector<std::uint64_t> counters;  // loss::Counter order; missing ones read 0
    bool haveNodes = false;               // a service too old for the nodes query leaves them out
    InfoNodesReplyHead service{};
    std::vector<InfoNodeRecord> nodes;
};

std::string RenderPrometheus(const MetricsSnapshot& snapshot);

// Age in seconds of the node's oldest log not yet in MySQL, on the service's
// clock: 0 when none waits (or the service sent no time).
std::int64_t NodeFreshness(const MetricsSnapshot& snapshot, const InfoNodeRecord& node);
// The largest of them.
std::int64_t Freshness(const MetricsSnapshot& snapshot);

// printf into a string of at most 511 characters (the tools' lines).
__attribute__((format(printf, 1, 2))) std::string FormatText(const char* format, ...);

// A node name as a label value: backslash, double quote and line feed
// escaped, bytes that are not UTF-8 (GBK names) as \x.. escapes.
std::string PrometheusLabel(const std::string& value);

#include "info/MetricsText.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "core/LossAccounting.h"

namespace {

class Text {
public:
    // HELP and TYPE of a metric family.
    void Family(const char* name, const char* type, const char* help) {
        m_out += "# HELP ";
        m_out += name;
        m_out += ' ';
        m_out += help;
        m_out += "\n# TYPE ";
        m_out += name;
        m_out += ' ';
        m_out += type;
        m_out += '\n';
    }
    template <class Number>
    void Sample(const char* name, const std::string& labels, Number value) {
        m_out += name;
        if (!labels.empty()) m_out += "{" + labels + "}";
        m_out += ' ';
        m_out += std::to_string(value);
        m_out += '\n';
    }
    template <class Number>
    void Metric(const char* name, const char* type, const char* help, Number value) {
        Family(name, type, help);
        Sample(name, "", value);
    }
    // One metric with a label per value. Counters are unsigned, gauges of
    // differences signed.
    template <class Number>
    void Labelled(const char* name, const char* type, const char* help, const char* label,
                  std::initializer_list<std::pair<const char*, Number>> values) {
        Family(name, type, help);
        for (const auto& [value, number] : values) Sample(name, std::string(label) + "=\"" + value + "\"", number);
    }
    std::string Take() { return std::move(m_out); }

private:
    std::string m_out;
};

void MergeFigures(Text* t, const InfoLogMergeReplyData& d) {
    t->Metric("varnholt_logs_total", "counter", "Logs dispatched by the record tasks since the service started.",
              d.allLogs);
    t->Metric("varnholt_logs_merged_total", "counter", "Logs merged or dropped by the log mergers, all kinds together.",
              d.mergedTotal);
    t->Metric("varnholt_user_logs_merged_total", "counter",
              "User logs merged: repeated service accesses and logs dropped by the web filter.", d.userLogsMerged);
    t->Metric("varnholt_flow_logs_merged_total", "counter", "Flow logs merged into an earlier flow log.",
              d.flowLogsMerged);
    t->Metric("varnholt_system_logs_merged_total", "counter", "System logs taken by the log mergers.", d.sysLogsMerged);
    t->Metric("varnholt_merge_enabled", "gauge", "Global EnableLogMerge as configured (0 is off).",
              d.globalMergeEnable);
    t->Metric("varnholt_user_merge_enabled", "gauge", "UserLog EnableLogMerge; 0 while merging is off globally.",
              d.userMergeEnable);
    t->Metric("varnholt_flow_merge_enabled", "gauge", "FlowLog EnableLogMerge; 0 while merging is off globally.",
              d.flowMergeEnable);
    t->Metric("varnholt_system_merge_enabled", "gauge", "SysLog EnableLogMerge; 0 while merging is off globally.",
              d.sysMergeEnable);
    t->Metric("varnholt_merge_buffers", "gauge", "Merge buffers of all started log mergers.", d.bufferCount);
    t->Metric("varnholt_merge_buffer_bytes", "gauge",
              "Total size of the merge buffers in bytes (saturates at 4294967295).", d.bufferTotalBytes);
    t->Metric("varnholt_merge_buffer_usage_percent", "gauge",
              "Estimated use of the merge buffers in percent of their total size.", d.bufferUsagePercent);
}

void AccountingFigures(Text* t, const std::uint64_t* c) {
    const loss::Balance b = loss::ComputeBalance(c);
    t->Metric("varnholt_logs_accepted_total", "counter", "Logs offered to a writer chain since the service started.",
              b.accepted);
    t->Labelled<std::uint64_t>("varnholt_logs_carried_total", "counter",
                               "Logs found on disk at start, left by earlier runs and not yet in MySQL.", "where",
                               {{"datafile", c[loss::DF_CARRIED]}, {"spool", c[loss::SPOOL_CARRIED]}});
    t->Labelled<std::uint64_t>(
        "varnholt_logs_stored_total", "counter", "Logs stored in MySQL, by the road they took.", "path",
        {{"sql", c[loss::SQL_STORED]}, {"datafile", c[loss::DF_LOADED]}, {"spool", c[loss::SPOOL_STORED]}});
    t->Labelled<std::int64_t>("varnholt_logs_pending", "gauge", "Logs on disk waiting for MySQL.", "where",
                              {{"datafile", b.pendingDataFiles}, {"spool", b.pendingSpool}});
    t->Labelled<std::int64_t>("varnholt_logs_held", "gauge", "Logs held in memory only.", "where",
                              {{"merge", b.heldMerge}, {"sql", b.heldSql}, {"batch", b.heldBatch}});
    t->Metric("varnholt_logs_folded_total", "counter",
              "Logs folded into another row by the mergers (not lost, no row of their own).", b.merged);
    t->Family("varnholt_logs_dropped_total", "counter", "Accepted logs discarded, by reason.");
    for (unsigned i = loss::DROP_FIRST; i <= loss::DF_LOST; ++i) {
        if (i >= loss::DROP_END && i != loss::DF_LOST) continue;
        t->Sample("varnholt_logs_dropped_total", std::string("reason=\"") + loss::kCounterInfo[i].name + "\"", c[i]);
    }
    t->Labelled<std::uint64_t>("varnholt_logs_refused_total", "counter",
                               "Log packets refused before dispatch, by reason.", "reason",
                               {{"not_synced", c[loss::REFUSED_NOT_SYNCED]}});
    t->Labelled<std::uint64_t>("varnholt_service_rows_total", "counter",
                               "usrsvrlog rows whose data file failed them, by outcome.", "outcome",
                               {{"sql", c[loss::SERVICE_ROW_SQL]}, {"lost", c[loss::SERVICE_ROW_LOST]}});
    t->Metric("varnholt_logs_unaccounted", "gauge", "Accepted plus carried minus every bucket; 0 at a quiet moment.",
              b.Unaccounted());
    t->Family("varnholt_log_accounting_stage_total", "counter", "Raw counters of the loss accounting stages.");
    for (unsigned i = 0; i < loss::DROP_FIRST; ++i) {
        t->Sample("varnholt_log_accounting_stage_total", std::string("stage=\"") + loss::kCounterInfo[i].name + "\"",
                  c[i]);
    }
}

// The node label of each record. A name that repeats (a node renamed in
// dev_node while the service runs keeps its old entry) gets "#2", "#3", ...:
// two series with one label set would make Prometheus refuse the scrape.
std::vector<std::string> NodeLabels(const std::vector<InfoNodeRecord>& nodes) {
    std::vector<std::string> labels;
    for (const InfoNodeRecord& n : nodes) {
        const std::string name = PrometheusLabel(std::string(n.name, strnlen(n.name, sizeof(n.name))));
        std::string label = name;
        for (int k = 2; std::find(labels.begin(), labels.end(), "node=\"" + label + "\"") != labels.end(); ++k) {
            label = name + "#" + std::to_string(k);
        }
        labels.push_back("node=\"" + label + "\"");
    }
    return labels;
}

void NodeFigures(Text* t, const MetricsSnapshot& s) {
    t->Metric("varnholt_disk_full", "gauge", "1 while the disk counts as full (ISFULL of Zelk.conf).",
              s.service.diskFull);
    t->Metric("varnholt_import_backlog_files", "gauge", "Data files waiting for import.", s.service.importBacklogFiles);
    t->Metric("varnholt_import_backlog_bytes", "gauge", "Bytes of the data files waiting for import.",
              s.service.importBacklogBytes);
    t->Metric("varnholt_imported_files_total", "counter", "Data files loaded into MySQL since the service started.",
              s.service.importedFiles);
    const std::vector<std::string> labels = NodeLabels(s.nodes);
    const auto each = [&](const char* name, const char* type, const char* help, auto value) {
        t->Family(name, type, help);
        for (size_t i = 0; i < s.nodes.size(); ++i) t->Sample(name, labels[i], value(s.nodes[i]));
    };
    each("varnholt_node_connections", "gauge", "Connections identified as the node now (0: not connected).",
         [](const InfoNodeRecord& n) { return n.connections; });
    t->Family("varnholt_node_logs_accepted_total", "counter", "Logs of the node accepted, by kind.");
    for (size_t i = 0; i < s.nodes.size(); ++i) {
        for (size_t k = 0; k < 5; ++k) {
            t->Sample("varnholt_node_logs_accepted_total", labels[i] + ",type=\"" + infoquery::kNodeLogKinds[k] + "\"",
                      s.nodes[i].accepted[k]);
        }
    }
    each("varnholt_node_received_bytes_total", "counter", "Bytes of the node's packets handled.",
         [](const InfoNodeRecord& n) { return n.receivedBytes; });
    each("varnholt_node_refused_total", "counter", "Packets of the node refused before dispatch (not synchronised).",
         [](const InfoNodeRecord& n) { return n.refused; });
    each("varnholt_node_last_packet_timestamp_seconds", "gauge", "When the node's last packet was handled (0: never).",
         [](const InfoNodeRecord& n) { return n.lastPacket; });
    each("varnholt_node_last_keepalive_timestamp_seconds", "gauge", "When the node's last keep-alive came (0: never).",
         [](const InfoNodeRecord& n) { return n.lastKeepAlive; });
    each("varnholt_node_last_stored_timestamp_seconds", "gauge",
         "When a row of the node's database last reached MySQL (0: never since the start).",
         [](const InfoNodeRecord& n) { return n.lastStored; });
    const auto age = [&](const InfoNodeRecord& n) { return NodeFreshness(s, n); };
    each("varnholt_node_freshness_seconds", "gauge",
         "Age in seconds of the node's oldest log not yet in MySQL (0: none); nodes sharing a database share it.",
         age);
    t->Metric("varnholt_freshness_seconds", "gauge", "The largest varnholt_node_freshness_seconds (0: nothing waits).",
              Freshness(s));
}

}  // namespace

std::int64_t NodeFreshness(const MetricsSnapshot& snapshot, const InfoNodeRecord& node) {
    // Ages on the service's clock; a service that sends no time (0) shows none.
    const std::int64_t now = snapshot.service.now;
    const std::int64_t oldest = node.oldestPending;
    return oldest > 0 && now > 0 ? std::max<std::int64_t>(now - oldest, 0) : 0;
}

std::int64_t Freshness(const MetricsSnapshot& snapshot) {
    std::int64_t oldest = 0;
    for (const InfoNodeRecord& n : snapshot.nodes) oldest = std::max(oldest, NodeFreshness(snapshot, n));
    return oldest;
}

std::string FormatText(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

std::string PrometheusLabel(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // Whole UTF-8 sequences pass; any other byte becomes '?'.
            const size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
            bool whole = length != 0 && i + length <= value.size();
            for (size_t k = 1; whole && k < length; ++k) {
                whole = (static_cast<unsigned char>(value[i + k]) & 0xC0) == 0x80;
            }
            if (whole) {
                out.append(value, i, length);
                i += length - 1;
            } else {
                out += '?';
            }
        }
    }
    return out;
}

std::string RenderPrometheus(const MetricsSnapshot& snapshot) {
    std::vector<std::uint64_t> counters = snapshot.counters;
    counters.resize(loss::COUNTER_COUNT, 0);
    Text t;
    MergeFigures(&t, snapshot.merge);
    AccountingFigures(&t, counters.data());
    if (snapshot.haveNodes) NodeFigures(&t, snapshot);
    t.Metric("varnholt_up", "gauge", "1: the service answered.", 1);
    return t.Take();
}

// Loss accounting: process-wide counters that follow every log a record task
// hands to a writer chain until it is stored, pending on disk, held in
// memory, merged into another row or dropped for a named reason.
//
// A "log" here is one user log (versions 1 to 3), system, alarm, admin or
// audit log offered to a writer chain. Keep-alives (summed into dev_stat
// rows), info syncs, snapshots and audit-file transactions are no logs to
// store. A service access becomes a usrbasiclog and a usrsvrlog row; only the
// first counts, so usrsvrlog lines and statements, like dev_stat statements,
// are left out of the equation. A usrsvrlog row its data file failed to take
// is counted on its own (SERVICE_ROW_SQL, SERVICE_ROW_LOST).
//
// With C = the counters below, at any quiet moment (no log in flight between
// two stages):
//
//   ACCEPTED + DF_CARRIED + SPOOL_CARRIED
//     = stored  (SQL_STORED + DF_LOADED + SPOOL_STORED)
//     + pending (DF_WRITTEN + DF_CARRIED - DF_LOADED - DF_LOST)
//               (SPOOL_WRITTEN + SPOOL_CARRIED - SPOOL_STORED - DROP_SPOOL_REFUSED)
//     + held    (MERGE_KEPT - MERGE_OUT) (BATCH_KEPT - BATCH_OUT)
//               (SQL_QUEUED - SQL_STORED - DROP_SQL_REFUSED - SPOOL_WRITTEN - DROP_SPOOL_WRITE - DROP_NO_DATABASE)
//     + MERGED
//     + dropped (every DROP_ counter, and DF_LOST)
//
// The CARRIED counters are what earlier runs left on disk, counted when the
// service starts, so the balance holds for this run alone.
//
// The header depends on the standard library only: varnholt-info uses the
// names to print the counters the service sends in this order.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace loss {

// Wire order of the accounting reply: append only, never reorder.
enum Counter : unsigned {
    ACCEPTED,            // logs offered to a writer chain
    MERGE_KEPT,          // logs kept in a merge buffer
    MERGE_OUT,           // kept logs passed on from a merge buffer
    MERGED,              // flow logs added to an earlier one, repeated service accesses
    DF_WRITTEN,          // lines appended to data files (write buffers included)
    DF_CARRIED,          // lines in data files left by earlier runs, counted at start
    DF_LOADED,           // lines of data files loaded into MySQL
    SQL_QUEUED,          // INSERTs put in the SQL writers' caches
    SQL_STORED,          // INSERTs of the caches that MySQL executed
    SPOOL_WRITTEN,       // INSERTs kept in spool files
    SPOOL_CARRIED,       // INSERTs in spool files left by earlier runs, counted at start
    SPOOL_STORED,        // spooled INSERTs that MySQL executed
    DROP_FIRST,
    DROP_FILTERED = DROP_FIRST,  // web access removed by HttpFilterList
    DROP_SYSLOG_MERGE,   // system logs taken by the merger (SysLog EnableLogMerge 1)
    DROP_UNKNOWN_USER,   // user not found in the node's directory
    DROP_UNKNOWN_ADMIN,  // administrator not found
    DROP_BAD_FIELDS,     // time or text that cannot be converted
    DROP_NO_SERVER,      // service access without a server address
    DROP_SQL_REFUSED,    // INSERT refused by MySQL on its own (data, table)
    DROP_SPOOL_REFUSED,  // spooled INSERT refused by MySQL on its own
    DROP_SPOOL_WRITE,    // INSERTs that could not be written to a spool file
    DROP_NO_DATABASE,    // INSERTs of a node whose database was never known
    DROP_END,
    REFUSED_NOT_SYNCED = DROP_END,  // packets refused before dispatch: node not synchronised
    // usrsvrlog rows, outside the equation (their log counts by its
    // usrbasiclog row): lines that failed in their data file twice and went
    // to the SQL writer alone, and rows that neither took.
    SERVICE_ROW_SQL,
    SERVICE_ROW_LOST,
    // Accepted data-file lines a failed write kept out of their file: a drop
    // reason that came after the wire order of the others.
    DF_LOST,
    // Logs whose data-file lines a pass holds until it writes them (a batch
    // of a record task or merger write-out), and those it has let go.
    BATCH_KEPT,
    BATCH_OUT,
    COUNTER_COUNT
};

struct CounterInfo {
    const char* name;  // also the Prometheus reason label of a DROP_ counter
    const char* text;  // for people
};

constexpr CounterInfo kCounterInfo[COUNTER_COUNT] = {
    {"accepted", "accepted"},
    {"merge_kept", "kept in merge buffers"},
    {"merge_out", "passed on by merge buffers"},
    {"merged", "merged into another row"},
    {"datafile_written", "written to data files"},
    {"datafile_carried", "in data files of earlier runs"},
    {"datafile_loaded", "loaded from data files"},
    {"sql_queued", "queued as INSERT"},
    {"sql_stored", "stored by INSERT"},
    {"spool_written", "written to spool files"},
    {"spool_carried", "in spool files of earlier runs"},
    {"spool_stored", "stored from spool files"},
    {"filtered", "web filter"},
    {"syslog_merge", "system logs taken by merger"},
    {"unknown_user", "unknown user"},
    {"unknown_admin", "unknown administrator"},
    {"bad_fields", "time or text not convertible"},
    {"no_server", "service access without server"},
    {"sql_refused", "INSERT refused"},
    {"spool_refused", "spooled INSERT refused"},
    {"spool_write", "spool file write failed"},
    {"no_database", "node database unknown"},
    {"not_synced", "node not synchronised"},
    {"service_row_sql", "usrsvrlog rows sent by INSERT after their data file failed"},
    {"service_row_lost", "usrsvrlog rows lost"},
    {"datafile_write", "data-file write failed"},
    {"batch_kept", "held in data-file batches"},
    {"batch_out", "let go by data-file batches"},
};

// The figures of the equation above, from one reading of the counters. The
// counters are read one by one while logs move, so a gauge made of
// differences may read below 0 for a moment: the gauges are signed.
struct Balance {
    std::uint64_t accepted = 0, carried = 0, stored = 0, merged = 0, dropped = 0;
    std::int64_t pendingDataFiles = 0, pendingSpool = 0, heldMerge = 0, heldSql = 0, heldBatch = 0;
    std::int64_t Held() const { return heldMerge + heldSql + heldBatch; }
    std::int64_t Unaccounted() const {
        return static_cast<std::int64_t>(accepted + carried - stored - merged - dropped) - pendingDataFiles -
               pendingSpool - Held();
    }
};

inline Balance ComputeBalance(const std::uint64_t* c) {
    const auto gauge = [](std::uint64_t in, std::uint64_t out) {
        return static_cast<std::int64_t>(in) - static_cast<std::int64_t>(out);
    };
    Balance b;
    b.accepted = c[ACCEPTED];
    b.carried = c[DF_CARRIED] + c[SPOOL_CARRIED];
    b.stored = c[SQL_STORED] + c[DF_LOADED] + c[SPOOL_STORED];
    b.pendingDataFiles = gauge(c[DF_WRITTEN] + c[DF_CARRIED], c[DF_LOADED] + c[DF_LOST]);
    b.pendingSpool = gauge(c[SPOOL_WRITTEN] + c[SPOOL_CARRIED], c[SPOOL_STORED] + c[DROP_SPOOL_REFUSED]);
    b.heldMerge = gauge(c[MERGE_KEPT], c[MERGE_OUT]);
    b.heldBatch = gauge(c[BATCH_KEPT], c[BATCH_OUT]);
    b.heldSql = gauge(c[SQL_QUEUED], c[SQL_STORED] + c[DROP_SQL_REFUSED] + c[SPOOL_WRITTEN] + c[DROP_SPOOL_WRITE] +
                                         c[DROP_NO_DATABASE]);
    b.merged = c[MERGED];
    for (unsigned i = DROP_FIRST; i < DROP_END; ++i) b.dropped += c[i];
    b.dropped += c[DF_LOST];
    return b;
}

// ---- Service side (core/LossAccounting.cpp) ----------------------------------

// A relaxed atomic add: safe on the per-log paths.
void Add(Counter counter, std::uint64_t n = 1);
// Adds to a DROP_ counter and writes a program-log line with the total when
// it reaches a power of two, so that a silent discard is seen without a line
// per log.
void Drop(Counter reason, std::uint64_t n = 1);
std::uint64_t Get(Counter counter);
void Snapshot(std::uint64_t* out);  // COUNTER_COUNT values
// Tests start from zero.
void ResetForTest();

// False for statements that are no log of their own: dev_stat rows and the
// usrsvrlog row of a service access.
bool IsLogStatement(std::string_view statement);
std::uint64_t CountLogStatements(const std::vector<std::string>& statements);
// A data-file line of table counts unless the table is usrsvrlog.
bool IsLogTable(const char* table);
// Lines of a data file (its line feeds), 0 for usrsvrlog files and files
// that cannot be read; added to counter.
void CountDataFileLines(Counter counter, const char* table, const std::string& path);

}  // namespace loss

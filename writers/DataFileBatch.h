// The data-file lines of one thread's pass, held until the pass ends and then
// appended to each data file in one write.
//
// A record task opens its batch around every pass over its receive ring, the
// merger around every write-out of its buffers. While a batch is open on a
// thread, the data-file writer formats each line into it instead of writing
// it; the batch writes each (writer, table) run of lines with one write(2)
// when the pass ends, before any reply is queued for the node, and whenever
// the lines held reach kMaxLineBytes (a pass under a flood may not end for a
// while). A log taken out of the ring is in process memory until its line is
// written, as it was in the ring before: a SIGKILL loses no log that it would
// not have lost with a write per line.
//
// A failed write is never a lost log. The run is tried once more on a fresh
// file of the table (the old one may have been switched out for import
// meanwhile, or have failed); when that fails too, every log of the run goes
// to the writers behind the data-file writer, from a copy of its record the
// batch keeps for that purpose:
// - a line of a log of its own: the whole log (the SQL writer stores it);
// - the usrbasiclog line of a service access: the whole log, and its
//   usrsvrlog line is taken out of the batch (usrsvrlog runs are written
//   last), so the SQL writer stores both rows and neither twice;
// - the usrsvrlog line of a service access whose usrbasiclog line is stored:
//   the usrsvrlog row alone (WriteServiceRow).
// A log no writer behind takes is logged with a count and counted as dropped
// (loss::DF_LOST); a usrsvrlog row as SERVICE_ROW_LOST.
//
// What the owner may rely on:
// - One batch per thread at a time: a scope opened while another batch is open
//   on the thread does nothing. Current() is the open batch or null.
// - Memory. Buffers are reused from pass to pass; a pass holds at most
//   kMaxLineBytes of lines plus one log's, and their records.
// - Writers. A writer whose lines are held must live until the batch is
//   flushed: the owners open the batch inside the life of their writer chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"

class CDataFileLogWriter;

class CDataFileBatch {
public:
    static constexpr std::size_t kMaxLineBytes = 64 * 1024;

    // What a line is to its log.
    enum class Role : std::uint8_t { kWhole, kServiceBasic, kServiceSvr };

    // Opens batch on the calling thread for the scope's life, unless one is
    // open already; the scope that opened it flushes it when it ends.
    class Scope {
    public:
        explicit Scope(CDataFileBatch& batch);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        CDataFileBatch* m_pOpened = nullptr;
    };

    CDataFileBatch() = default;
    CDataFileBatch(const CDataFileBatch&) = delete;
    CDataFileBatch& operator=(const CDataFileBatch&) = delete;

    // The batch open on the calling thread, or null.
    static CDataFileBatch* Current();
    // Writes what the calling thread's open batch holds (nothing without one).
    static void FlushCurrent();

    // Starts a log: keeps a copy of its record (logType, kind and size bytes
    // at record) for the fall-back and returns its number for AddLine. Flushes
    // first when the lines held have reached kMaxLineBytes, so that the lines
    // of one log are never split by a flush.
    std::uint32_t BeginLog(std::uint32_t logType, std::uint32_t kind, const void* record, std::size_t size);
    // Holds one line of log (from BeginLog) for writer's table (a table name
    // constant that lives as long as the program). For a kServiceSvr line,
    // userId, recordId and when are what its usrsvrlog row is made of.
    void AddLine(CDataFileLogWriter* writer, const char* table, std::string_view line, std::uint32_t log, Role role,
                 std::int32_t userId = 0, std::int64_t recordId = 0, std::string_view when = {});
    // Writes every held run as described above and empties the batch.
    void Flush();
    bool Empty() const { return m_LineBytes == 0; }

private:
    struct Line {
        std::uint32_t offset;
        std::uint32_t length;
        std::uint32_t log;
        Role role;
        std::int32_t userId;
        std::int64_t recordId;
        char when[24];
    };
    struct Run {
        CDataFileLogWriter* writer = nullptr;
        const char* table = nullptr;
        std::string bytes;
        std::vector<Line> lines;
    };
    struct LogCopy {
        std::uint32_t logType;
        std::uint32_t kind;
        std::size_t offset;
        std::size_t size;
        bool excluded;
    };

    void FlushRun(Run& run);
    // The writers behind take the line's log (or usrsvrlog row); false when
    // none did.
    bool FallBack(Run& run, const Line& line);

    std::vector<Run> m_Runs;  // kept with their capacity; empty ones are reused
    std::vector<LogCopy> m_Logs;
    std::vector<BYTE> m_Records;
    std::string m_Compacted;
    std::size_t m_LineBytes = 0;
};

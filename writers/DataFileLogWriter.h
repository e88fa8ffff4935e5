// The second writer of every node's chain: appends the high-volume logs (user
// logs of all three generations and system logs) as text lines to the node's
// data files, one file per table, for the bulk load of the import tasks.
//
// Lines are tab-separated, "\r\n"-terminated GBK text laid out in the column
// order of the tables syslog, usrflowlog, usrbasiclog and usrsvrlog (only
// syslog is loaded with a column list). User and UserV2 logs are widened to
// UserV3 first. Every other log type is declined, and every log this writer
// fails on returns 0, so the final writer inserts it with SQL instead.
//
// Choices that keep the rows exact:
// - Text fields. Doubling single quotes and backslashes (the SQL literal
//   rules) and escaping line feeds is not undone by LOAD DATA: a single quote
//   would be stored as two (four in usrbasiclog), and an unescaped usrsvrlog
//   message with a tab or double quote would shift the columns. Every text
//   field is written for the import's own rules instead (fields enclosed by
//   '"', escape character backslash, character set gbk; EscapeLoadDataGbk
//   below), so a row holds exactly the text the node sent.
// - Line length. Lines are formatted without a length limit: a line cut to
//   a fixed buffer would lose its "\r\n" and merge with the next one.
// - Service access (action 3) gives a usrbasiclog and a usrsvrlog line with
//   one record id. Both lines are formatted and both tables' data files
//   secured before either is written; when the usrbasiclog line cannot be
//   written the usrsvrlog line is not written either and the log goes to the
//   final writer whole (0). Once the usrbasiclog line is in its file the log
//   counts as handled (1): returning 0 then would make the final writer
//   insert the usrbasiclog row a second time. A usrsvrlog line that fails
//   then is tried once more on a fresh file and otherwise handed to the
//   final writer alone (WriteServiceRow); only when that fails too is the
//   row lost, logged at ERROR and counted (SERVICE_ROW_LOST).
// - Record id: computed exactly as the final writer does (counter taken as
//   unsigned), so that rows of both writers share one form.
//
// - Batches. While a data-file batch is open on the calling thread
//   (writers/DataFileBatch.h: a record task's pass, a merger's write-out),
//   lines are held in it and written per file in one write when it is
//   flushed; a log is then handled (1) once its lines are formatted, and a
//   run its files refuse goes to the final writer from the batch. Without a
//   batch every line is written at once, as described above.
// - Costs. A line is built in a buffer of the thread, the time text is made
//   once per second and thread, and ASCII text skips the GBK converter.
//
// What the owner may rely on:
// - Threads. The record task's thread and the merger's write thread both
//   write through one writer. The table map is guarded by m_csTable (created
//   by Init, deleted by UnInit); the database name by its own mutex. Appends
//   to one data file are serialised by the data file itself.
// - Lifetime of the data files. A table's data file ID is allocated on the
//   table's first line and reused until OnQuit, which gives every ID back to
//   the data file manager (flushed, closed and queued for import). The map
//   keeps the released IDs: a log arriving after OnQuit finds no file and is
//   declined to the final writer, instead of opening a file nobody releases.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/Sync.h"
#include "writers/BaseLogWriter.h"

// Text for one enclosed field of a LOAD DATA file (fields enclosed by '"',
// escape character backslash) in GBK: backslash, double quote, line feed,
// carriage return, tab and NUL are written as \\, \", \n, \r, \t and \0; every
// other byte stands for itself inside the quotes, single quotes included. The
// second byte of a GBK double-byte character (which may be 0x5C, the value of
// a backslash) is copied as it is, as LOAD DATA reads it with the GBK
// character set.
std::string EscapeLoadDataGbk(const std::string& text);

class CDataFileLogWriter : public CBaseLogWriter {
public:
    CDataFileLogWriter() = default;
    ~CDataFileLogWriter() override = default;

    int Init() override;
    void UnInit() override;
    void SetDbName(const char* dbName) override;
    int WriteLog(std::uint32_t kind, const packet::SystemRecord* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::UserRecordV1* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::UserRecordV2* p, ReplyBuff* reply) override;
    int WriteLog(std::uint32_t kind, const packet::UserRecordV3* p, ReplyBuff* reply) override;
    int WriteLog(const LogItem* item, ReplyBuff* reply) override;
    using CBaseLogWriter::WriteLog;
    void OnQuit() override;

private:
    friend class CDataFileBatch;

    // Appends one line to the table's data file; 1 when the whole line was
    // written (or the line is empty), else 0.
    int WriteDataToDataFile(const std::string& line, const char* tableName);
    // Appends length bytes holding lines whole lines to the table's data file
    // in one write; true when all were written (counted as written).
    bool AppendLines(const char* tableName, const char* data, size_t length, std::uint64_t lines);
    // One line of the log at record (size bytes, logType, kind): held in the
    // calling thread's open data-file batch, or else written at once.
    int WriteLine(const std::string& line, const char* tableName, const void* record, size_t size,
                  std::uint32_t logType, std::uint32_t kind);
    // The table's data file ID, allocated on first use (under m_csTable);
    // 1 when found or allocated, 0 when the manager gave none.
    int GetDataFileID(const char* tableName, DWORD* id);
    // Gives a table's data file back (flushed, closed and queued for import):
    // its next line goes to a fresh file.
    void ReleaseTableFile(const char* tableName);

    // Line formats; false when a text field cannot be converted to GBK.
    static bool FormatUserFlowLog(const packet::UserRecordV3* p, std::int32_t userId, const std::string& when,
                                  std::int64_t recordId, std::string* line);
    static bool FormatUserBasicLog(const packet::UserRecordV3* p, std::int32_t userId, const std::string& when,
                                   std::int64_t recordId, std::string* line);
    static bool FormatUserSvrLog(const packet::UserRecordV3* p, std::int32_t userId, const std::string& when,
                                 std::int64_t recordId, std::string* line);
    // The two lines of a service access (action 3), as described above.
    int BuildUserServiceAccess(std::uint32_t kind, const packet::UserRecordV3* p, std::int32_t userId,
                               const std::string& when, std::int64_t recordId);
    std::string DbName() const;

    mutable std::mutex m_NameMutex;
    std::string m_strDbName;
    CRITICAL_SECTION m_csTable;
    std::map<std::string, DWORD> m_TableMap;  // guarded by m_csTable
};

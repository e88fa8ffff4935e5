#include "writers/DataFileBatch.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "protocol/PacketFormat.h"
#include "writers/DataFileLogWriter.h"

namespace {

constexpr char kTag[] = "[CDataFileBatch]";
constexpr char kUsrSvrLog[] = "usrsvrlog";

thread_local CDataFileBatch* t_Open = nullptr;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

bool IsSvrTable(const char* table) { return std::strcmp(table, kUsrSvrLog) == 0; }

}  // namespace

CDataFileBatch::Scope::Scope(CDataFileBatch& batch) {
    if (t_Open != nullptr) return;
    t_Open = &batch;
    m_pOpened = &batch;
}

CDataFileBatch::Scope::~Scope() {
    if (m_pOpened == nullptr) return;
    try {
        m_pOpened->Flush();
    } catch (const std::exception& e) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Flush] Exception: %s\n", e.what());
    } catch (...) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Flush] Unknown Exception\n");
    }
    t_Open = nullptr;
}

CDataFileBatch* CDataFileBatch::Current() { return t_Open; }

void CDataFileBatch::FlushCurrent() {
    if (t_Open != nullptr && !t_Open->Empty()) t_Open->Flush();
}

std::uint32_t CDataFileBatch::BeginLog(std::uint32_t logType, std::uint32_t kind, const void* record,
                                       std::size_t size) {
    if (m_LineBytes >= kMaxLineBytes) Flush();
    const std::size_t offset = m_Records.size();
    const auto* bytes = static_cast<const BYTE*>(record);
    m_Records.insert(m_Records.end(), bytes, bytes + size);
    m_Logs.push_back(LogCopy{logType, kind, offset, size, false});
    loss::Add(loss::BATCH_KEPT);
    return static_cast<std::uint32_t>(m_Logs.size() - 1);
}

void CDataFileBatch::AddLine(CDataFileLogWriter* writer, const char* table, std::string_view line, std::uint32_t log,
                             Role role, std::int32_t userId, std::int64_t recordId, std::string_view when) {
    Run* run = nullptr;
    Run* spare = nullptr;
    for (Run& r : m_Runs) {
        if (r.writer == writer && r.table == table) {
            run = &r;
            break;
        }
        if (spare == nullptr && r.lines.empty()) spare = &r;
    }
    if (run == nullptr) {
        if (spare == nullptr) spare = &m_Runs.emplace_back();
        run = spare;
        run->writer = writer;
        run->table = table;
    }
    Line held{static_cast<std::uint32_t>(run->bytes.size()),
              static_cast<std::uint32_t>(line.size()),
              log,
              role,
              userId,
              recordId,
              {}};
    const std::size_t keep = std::min(when.size(), sizeof(held.when) - 1);
    if (keep != 0) std::memcpy(held.when, when.data(), keep);
    held.when[keep] = '\0';
    run->bytes.append(line);
    run->lines.push_back(held);
    m_LineBytes += line.size();
}

void CDataFileBatch::Flush() {
    // usrsvrlog runs last: a service access whose usrbasiclog line failed is
    // taken out of them before they are written.
    for (int pass = 0; pass < 2; ++pass) {
        for (Run& run : m_Runs) {
            if (!run.lines.empty() && IsSvrTable(run.table) == (pass == 1)) FlushRun(run);
        }
    }
    loss::Add(loss::BATCH_OUT, m_Logs.size());
    m_Logs.clear();
    m_Records.clear();
    m_LineBytes = 0;
}

void CDataFileBatch::FlushRun(Run& run) {
    const char* data = run.bytes.data();
    std::size_t length = run.bytes.size();
    std::uint64_t count = run.lines.size();
    const bool anyExcluded = std::any_of(run.lines.begin(), run.lines.end(),
                                         [this](const Line& l) { return m_Logs[l.log].excluded; });
    if (anyExcluded) {
        m_Compacted.clear();
        count = 0;
        for (const Line& l : run.lines) {
            if (m_Logs[l.log].excluded) continue;
            m_Compacted.append(run.bytes, l.offset, l.length);
            ++count;
        }
        data = m_Compacted.data();
        length = m_Compacted.size();
    }
    bool written = count == 0 || run.writer->AppendLines(run.table, data, length, count);
    if (!written) {
        run.writer->ReleaseTableFile(run.table);
        written = run.writer->AppendLines(run.table, data, length, count);
    }
    if (!written) {
        Log(Recorder(), LOG_LEVEL_WARN, kTag,
            "[Flush] %llu Line(s) Of Table = %s Not Written To A Data File Twice , Handed To The SQL Writer\n",
            static_cast<unsigned long long>(count), run.table);
        std::uint64_t lost = 0;
        for (const Line& l : run.lines) {
            if (m_Logs[l.log].excluded) continue;
            if (!FallBack(run, l) && l.role != Role::kServiceSvr) ++lost;
        }
        if (lost != 0) {
            Log(Recorder(), LOG_LEVEL_ERROR, kTag,
                "[Flush] %llu Log(s) Of Table = %s Lost: Neither Data File Nor SQL Took Them\n",
                static_cast<unsigned long long>(lost), run.table);
            // Counted as lines a failed write kept out of their file.
            loss::Add(loss::DF_WRITTEN, lost);
            loss::Drop(loss::DF_LOST, lost);
        }
    }
    run.bytes.clear();
    run.lines.clear();
}

bool CDataFileBatch::FallBack(Run& run, const Line& line) {
    LogCopy& log = m_Logs[line.log];
    const BYTE* record = m_Records.data() + log.offset;
    if (line.role == Role::kServiceSvr) {
        const std::string when(line.when);
        const ServiceRow row{reinterpret_cast<const packet::UserRecordV3*>(record), line.userId, when, line.recordId};
        if (run.writer->WriteServiceRowToNextWriters(row) == 1) {
            loss::Add(loss::SERVICE_ROW_SQL);
            return true;
        }
        loss::Add(loss::SERVICE_ROW_LOST);
        Log(Recorder(), LOG_LEVEL_ERROR, kTag,
            "[Flush] usrsvrlog Row Of Record ID = %lld Lost: Neither Data File Nor SQL Took It\n",
            static_cast<long long>(line.recordId));
        return false;
    }
    if (line.role == Role::kServiceBasic) log.excluded = true;
    const LogItem item{log.logType, log.kind, record};
    return run.writer->WriteLogToNextWriters(&item, nullptr) == 1;
}

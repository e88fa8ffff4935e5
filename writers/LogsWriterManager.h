// The writer chain of one node: the ordered writers every accepted log is
// offered to.
//
// The chain has three places, always in this order: the merger, the
// data-file writer and the final (SQL) writer. A writer that declines a log
// (0) hands it to the next one, so every log reaches the final writer unless
// one before it took it.
//
// Threads: everything is called on the record task's thread, except the
// pass-down, which the merger's write thread also uses; the chain list itself
// changes only at installation and uninstallation.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "writers/BaseLogWriter.h"
#include "writers/DataFileLogWriter.h"
#include "writers/LogMerger.h"
#include "writers/FinalLogWriter.h"

class CVarnholtLogsWriterManager {
public:
    CVarnholtLogsWriterManager() = default;
    virtual ~CVarnholtLogsWriterManager() = default;
    CVarnholtLogsWriterManager(const CVarnholtLogsWriterManager&) = delete;
    CVarnholtLogsWriterManager& operator=(const CVarnholtLogsWriterManager&) = delete;

    // Builds the chain of the node's writers and initialises each.
    void InstallLogWriterChain();
    // The same with the given writers in this order (null places allowed).
    void InstallLogWriterChain(std::initializer_list<CBaseLogWriter*> writers);
    void UnInstallLogWriterChain();
    void SetDbName(const char* dbName);
    void OnQuit();

    // Offers a log to the writers in chain order: the first non-zero result.
    template <class Record>
    int WriteLog(std::uint32_t packetKind, const Record* record, ReplyBuff* reply = nullptr) {
        int result = 0;
        for (CBaseLogWriter* writer : m_Chain) {
            if (writer == nullptr) continue;
            result = writer->WriteLog(packetKind, record, reply);
            if (result != 0) return result;
        }
        return result;
    }
    // Offers an item to the writers after writer; 1 as soon as one handles it.
    int PassDown(const CBaseLogWriter* writer, const LogItem* item, ReplyBuff* reply);
    int PassServiceRowDown(const CBaseLogWriter* writer, const ServiceRow& row);

    size_t ChainLength() const { return m_Chain.size(); }

private:
    CLogMergerLogWriter m_MergerWriter;
    CDataFileLogWriter m_DataFileWriter;
    CFinalLogWriter m_FinalWriter;
    std::vector<CBaseLogWriter*> m_Chain;
};

#include "node/NodeLogRecordTask.h"


#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <sched.h>

#include "config/ConfigManager.h"
#include "core/ExitEvent.h"
#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "core/Utility.h"
#include "core/modules/BuffManager.h"
#include "core/modules/CSLocker.h"
#include "db/GlobalSharedData.h"
#include "db/SQLConnManager.h"
#include "db/SqlText.h"
#include "core/InfoCounters.h"
#include "node/TarnNode.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "protocol/PacketFormat.h"

using namespace packet;

namespace {

constexpr char kClassTag[] = "[CNodeLogRecordTask]";

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }


std::int32_t I32(const BYTE* packet, size_t offset) { return static_cast<std::int32_t>(ReadU32(packet + offset)); }

std::int64_t I64(const BYTE* packet, size_t offset) {
    std::int64_t v;
    std::memcpy(&v, packet + offset, 8);
    return v;
}

bool DiskFull() { return CConfigManager::GetInstance()->m_Zelk.ISFULL.Get() != 0; }

}  // namespace

const CNodeLogRecordTask::DispatchRow CNodeLogRecordTask::kDispatchTable[16] = {
    {0, true, &CNodeLogRecordTask::Check_KeepAlive_Log, &CNodeLogRecordTask::Deal_KeepAlive_Log},
    {1, false, &CNodeLogRecordTask::Check_User_Log, &CNodeLogRecordTask::Deal_User_Log},
    {2, false, &CNodeLogRecordTask::Check_Audit_Log, &CNodeLogRecordTask::Deal_Audit_Log},
    {3, false, &CNodeLogRecordTask::Check_Admin_Log, &CNodeLogRecordTask::Deal_Admin_Log},
    {4, false, &CNodeLogRecordTask::Check_Alarm_Log, &CNodeLogRecordTask::Deal_Alarm_Log},
    {5, true, &CNodeLogRecordTask::Check_LogudtDB_Log, &CNodeLogRecordTask::Deal_LogudtDB_Log},
    {6, false, &CNodeLogRecordTask::Check_Any, &CNodeLogRecordTask::Deal_Fail},
    {7, false, &CNodeLogRecordTask::Check_Any, &CNodeLogRecordTask::Deal_Fail},
    {8, false, &CNodeLogRecordTask::Check_System_Log, &CNodeLogRecordTask::Deal_System_Log},
    {9, false, &CNodeLogRecordTask::Check_Any, &CNodeLogRecordTask::Deal_UnSupport_Log},
    {10, false, &CNodeLogRecordTask::Check_UserV2_Log, &CNodeLogRecordTask::Deal_UserV2_Log},
    {11, false, &CNodeLogRecordTask::Check_UserV3_Log, &CNodeLogRecordTask::Deal_UserV3_Log},
    {12, false, &CNodeLogRecordTask::Check_UserAuditFile_Log, &CNodeLogRecordTask::Deal_UserAuditFile_Log},
    {13, false, &CNodeLogRecordTask::Check_Any, &CNodeLogRecordTask::Deal_UnSupport_Log},
    {14, false, &CNodeLogRecordTask::Check_Any, &CNodeLogRecordTask::Deal_UnSupport_Log},
    {15, true, &CNodeLogRecordTask::Check_Any, &CNodeLogRecordTask::Deal_UnSupport_Log},
};

CNodeLogRecordTask::~CNodeLogRecordTask() = default;

// ---------------------------------------------------------------------------
// Task body and framing

DWORD CNodeLogRecordTask::Run() {
    if (m_dwNodeThreadId == 0 || m_pRecvRing == nullptr || m_pSendRing == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Invalid Param\n");
        return static_cast<DWORD>(-1);
    }
    CSQLConnManager::ThreadInit();
    std::srand(GetTickCount());
    m_WriterManager.InstallLogWriterChain();

    HANDLE waits[2] = {GetExitEvent(), m_pRecvRing->GetDataReadyEvent()};
    DWORD rc = WAIT_TIMEOUT;
    while (IsRunning()) {
        UpdateActivityTime();
        // Bytes the node thread commits after this point end the wait below
        // at once; before it they are seen by ProcessRingBuffData.
        const std::uint64_t seen = m_pRecvRing->WriteCount();
        try {
            // The lines of one pass reach each data file in one write.
            CDataFileBatch::Scope batch(m_DataFileBatch);
            ProcessRingBuffData();
        } catch (...) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag,
                "[Run] Exception Occur While Calling Function ProcessRingBuffData().\n");
            if (m_dwNodeThreadId != 0 && PostThreadMessage(m_dwNodeThreadId, WM_QUIT, 0, 0)) {
                Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[Run] Thread Will Exit Due To Catch An Exception.\n");
                break;
            }
        }
        rc = WaitForMultipleObjects(2, waits, false, m_pRecvRing->ArmDataReady(seen) ? kWaitMs : 0);
        if (rc == WAIT_OBJECT_0 || rc == WAIT_FAILED) break;
    }

    // Complete packets already in the receive ring (a node that sent its
    // last logs and closed at once) are still handled, without waiting for
    // more bytes, before the writers flush.
    m_bDraining.store(true);
    try {
        CDataFileBatch::Scope batch(m_DataFileBatch);
        ProcessRingBuffData();
    } catch (...) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag,
            "[Run] Exception Occur While Calling Function ProcessRingBuffData().\n");
    }
    m_bDraining.store(false);
    if (m_dwDroppedReplies != 0) {
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
            "[Run] %u Reply Packet(s) Not Sent , The Connection Is Closing\n", m_dwDroppedReplies);
    }

    m_WriterManager.OnQuit();
    m_WriterManager.UnInstallLogWriterChain();
    // Only a reference this task took is given back: releasing on the mere
    // keep-alive identity would drive a node's count below zero, and a node
    // whose count is not zero counts as synchronised.
    if (m_bSyncRefAdded) CGlobalSharedData::GetInstance()->ReleaseNodeSyncRef(m_SyncRefIdentity);
    if (m_bAttached) CGlobalSharedData::GetInstance()->DetachNodeTask(m_AttachedIdentity);
    RemoveTempFile();
    std::vector<BYTE>().swap(m_LinearBuff);
    CSQLConnManager::ThreadEnd();
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Run] Exit With Wait Ret = %u Pointer = 0x%08llx\n", rc,
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(this)));
    return 0;
}

void CNodeLogRecordTask::ProcessRingBuffData() {
    for (;;) {
        DWORD readable = 0;
        if (!m_pRecvRing->GetCanReadSize(&readable) || readable < kHeaderSize) return;
        const int kind = FindPacketStart(readable);
        if (kind != 0 && !ProcessLogData(kind)) return;
        if (!KeepGoing()) return;
    }
}

int CNodeLogRecordTask::FindPacketStart(DWORD readable) {
    // The earliest mark of either kind wins (a mark at the read position
    // first of all), so that text inside a message that looks like the other
    // mark never throws a valid packet away. A window without a mark is
    // dropped except for its last 7 bytes, which may begin a mark that the
    // next bytes complete.
    while (readable >= kMarkSize && KeepGoing()) {
        BYTE* start = m_pRecvRing->GetReadPos();
        const DWORD window = readable < kSearchWindow ? readable : kSearchWindow;
        for (DWORD i = 0; i + kMarkSize <= window; ++i) {
            const int kind = MarkKind(start + i);
            if (kind == 0) continue;
            if (i > 0) {
                DumpData(start, start + i);
                m_pRecvRing->ReadCommit(i);
            }
            return kind;
        }
        const DWORD drop = window - (kMarkSize - 1);
        DumpData(start, start + drop);
        m_pRecvRing->ReadCommit(drop);
        readable -= drop;
        sched_yield();
    }
    return 0;
}

void CNodeLogRecordTask::DumpData(const BYTE* start, const BYTE* end) {
    if (CConfigManager::GetInstance()->m_ZelkAdv.DumpInvalidLog.Get() == 0 || start >= end) return;
    if (end - start > static_cast<std::ptrdiff_t>(kMaxDumpBytes)) end = start + kMaxDumpBytes;
    CProgramLogRecorder* recorder = Recorder();
    recorder->Lock();
    for (const BYTE* line = start; line < end; line += 16) {
        char text[160];
        int pos = std::snprintf(text, sizeof(text), "  0x%08llx  ",
                                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(line)));
        for (int i = 0; i < 16; ++i) {
            if (line + i < end) {
                pos += std::snprintf(text + pos, sizeof(text) - static_cast<size_t>(pos), "%02x ", line[i]);
            } else {
                pos += std::snprintf(text + pos, sizeof(text) - static_cast<size_t>(pos), "   ");
            }
        }
        for (int i = 0; i < 16 && line + i < end; ++i) {
            const char ch = static_cast<char>(line[i]);
            text[pos++] = (ch == '\r' || ch == '\n' || ch == '\t' || ch == '\0') ? ' ' : ch;
        }
        text[pos] = '\0';
        Log(recorder, LOG_LEVEL_DUMP, kClassTag, "%s\r\n", text);
    }
    recorder->Unlock();
}

bool CNodeLogRecordTask::ProcessLogData(int kind) {
    if (kind == 0 || m_pRecvRing == nullptr) return true;
    DWORD readable = 0;
    if (!m_pRecvRing->GetCanReadSize(&readable) || readable < kHeaderSize) return false;
    BYTE* start = m_pRecvRing->GetReadPos();
    const std::uint32_t length = ReadU32(start + offsetof(PacketHeader, m_DataLen));
    const std::uint64_t maxLength =
        static_cast<std::uint64_t>(CConfigManager::GetInstance()->m_ZelkAdv.MaxPackgeSize.Get()) * 1024 * 1024;
    if (length < kHeaderSize || length > maxLength) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[ProcessLogData] Recv Error DataHead m_DataLen = %u\n", length);
        m_pRecvRing->ReadCommit(kHeaderSize);
        return true;
    }
    if (readable >= length) {
        m_pCurrent = start;
        m_bPacketInRing = true;
        m_dwLastReadable = 0;
    } else if (m_bDraining.load() && !m_pRecvRing->HasWrappedData()) {
        return false;  // the rest will never come
    } else if (m_dwLastReadable < readable && !m_pRecvRing->HasWrappedData()) {
        // More bytes may still arrive in place. (When the packet already
        // continues at the ring start it is copied out at once instead of
        // after a wait for data that may never come.)
        m_dwLastReadable = readable;
        return false;
    } else {
        m_LinearBuff.resize(length);
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
            "[ProcessLogData] Need To Call RingCache2LinearityBuff To Make Buff Linearity. LastCanReadSize = %u , "
            "CurrentCanReadSize = %u ,  NeedSize = %u\n",
            m_dwLastReadable, readable, length);
        m_dwLastReadable = 0;
        if (!ReadFromRing(m_pRecvRing, m_LinearBuff.data(), length)) return true;
        m_pCurrent = m_LinearBuff.data();
        m_bPacketInRing = false;
    }
    m_bConsumed = false;
    if (KeepGoing()) DispatchLog(kind);
    m_pCurrent = nullptr;
    return true;
}

bool CNodeLogRecordTask::ReadFromRing(CRingCache* ring, BYTE* destination, DWORD length) {
    HANDLE waits[2] = {ring->GetDataReadyEvent(), GetExitEvent()};
    DWORD copied = 0;
    while (copied < length) {
        const std::uint64_t seen = ring->WriteCount();
        DWORD readable = 0;
        if (ring->GetCanReadSize(&readable)) {
            const DWORD n = readable < length - copied ? readable : length - copied;
            std::memcpy(destination + copied, ring->GetReadPos(), n);
            ring->ReadCommit(n);
            copied += n;
            continue;
        }
        if (m_bDraining.load()) return false;  // nothing more will arrive
        if (!ring->ArmDataReady(seen)) continue;
        if (WaitForMultipleObjects(2, waits, false, kWaitMs) == WAIT_OBJECT_0 + 1) return false;
        if (!IsRunning()) return false;
    }
    return true;
}

std::uint32_t CNodeLogRecordTask::DataLen() const { return ReadU32(m_pCurrent + offsetof(PacketHeader, m_DataLen)); }

std::uint32_t CNodeLogRecordTask::LogType() const { return ReadU32(m_pCurrent + offsetof(PacketHeader, logType)); }

void CNodeLogRecordTask::Consume() {
    if (m_bConsumed) return;
    m_bConsumed = true;
    if (m_bPacketInRing) m_pRecvRing->ReadCommit(DataLen());
}

NodeActivity* CNodeLogRecordTask::ActivityOf(const BYTE* identity) {
    if (m_bActivityLooked && std::memcmp(identity, m_ActivityIdentity, sizeof(m_ActivityIdentity)) == 0) {
        return m_pActivity;
    }
    NodeInfo* node = CGlobalSharedData::GetInstance()->FindNode(identity);
    m_pActivity = node != nullptr ? &node->activity : nullptr;
    std::memcpy(m_ActivityIdentity, identity, sizeof(m_ActivityIdentity));
    m_bActivityLooked = true;
    return m_pActivity;
}

void CNodeLogRecordTask::DispatchLog(int kind) {
    CountInfo(INFO_COUNTER_ALL);
    if (!HasTestMark(m_pCurrent)) {
        if (NodeActivity* activity = ActivityOf(Identity())) {
            const std::int64_t now = static_cast<std::int64_t>(GetSystemTimeSeconds());
            activity->lastPacket.store(now, std::memory_order_relaxed);
            activity->receivedBytes.fetch_add(DataLen(), std::memory_order_relaxed);
            if (LogType() == packet::LOG_KEEPALIVE) activity->lastKeepAlive.store(now, std::memory_order_relaxed);
        }
    }
    const bool full = DiskFull();
    if (full) Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[DispatchLog] Disk Full!.\n");
    const std::uint32_t type = LogType();
    int result = 0;
    for (const DispatchRow& row : kDispatchTable) {
        if (row.code != type) continue;
        if (full && !row.allowedWhenDiskFull) break;
        if (!(this->*row.check)(kind)) {
            Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[DispatchLog] Check Log Type = %u Fail!!!\n", type);
            break;
        }
        Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[DispatchLog] Check Log Type = %u Succeed\n", type);
        NoteIdentity();
        result = (this->*row.deal)(kind);
        Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag,
            result != 0 ? "[DispatchLog] Dispatch Process Log Type = %u Succeed\n"
                        : "[DispatchLog] Dispatch Process Log Type = %u Fail!!!\n",
            type);
        break;
    }
    if (result != 1) Deal_UnSupport_Log(kind);
}

void CNodeLogRecordTask::NoteIdentity() {
    // Looked up only until the connection is identified; a connection test
    // (the test mark) carries no identity.
    if (m_pIdentified->load() || HasTestMark(m_pCurrent)) return;
    if (IsRegisteredIdentity()) m_pIdentified->store(true);
}

bool CNodeLogRecordTask::IsRegisteredIdentity() const {
    std::string dbName;
    return CGlobalSharedData::GetInstance()->GetDbNameByMD5(Identity(), &dbName) != 0;
}

// ---------------------------------------------------------------------------
// Checks

bool CNodeLogRecordTask::Check_Any(int) { return m_pCurrent != nullptr; }

bool CNodeLogRecordTask::CheckSizeAndInvert(std::uint32_t size, const char* message) {
    if (DataLen() != size) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, message, DataLen(), size);
        return false;
    }
    if (m_pCurrent[offsetof(PacketHeader, inverted)] != 0) InvertRecord(m_pCurrent, size);
    return true;
}

bool CNodeLogRecordTask::Check_KeepAlive_Log(int) {
    if (m_pCurrent == nullptr) return false;
    if (HasTestMark(m_pCurrent)) return true;
    if (!CheckSizeAndInvert(kKeepAliveSize, "[Check_KeepAlive_Log] Wrong KeepAlive Packge Size = %u\n")) return false;
    const std::int32_t devType = I32(m_pCurrent, offsetof(KeepAliveRecord, devType));
    if (devType < 0 || devType > 2) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_KeepAlive_Log] Wrong KeepAlive Packge DevType\n");
        return false;
    }
    return true;
}

bool CNodeLogRecordTask::CheckUserFields(const char* action, const char* result, const char* service,
                                         const char* attribute, const char* auth) {
    const size_t base = kHeaderSize;
    const std::int32_t a = I32(m_pCurrent, base + offsetof(UserCommon, action));
    const std::int32_t r = I32(m_pCurrent, base + offsetof(UserCommon, result));
    const std::int32_t s = I32(m_pCurrent, base + offsetof(UserCommon, serviceType));
    const std::int32_t at = I32(m_pCurrent, base + offsetof(UserCommon, serverAttribute));
    const std::int32_t au = I32(m_pCurrent, base + offsetof(UserCommon, authMethod));
    const char* message = nullptr;
    std::int32_t value = 0;
    if (a < 0 || a > 6) {
        message = action;
        value = a;
    } else if (r < 0 || r > 2) {
        message = result;
        value = r;
    } else if (s < 0 || s > 3) {
        message = service;
        value = s;
    } else if (at < 0 || at > 1) {
        message = attribute;
        value = at;
    } else if (au < 0 || au > 1023) {
        message = auth;
        value = au;
    }
    if (message == nullptr) return true;
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag, message, value);
    return false;
}

bool CNodeLogRecordTask::Check_User_Log(int kind) {
    if (m_pCurrent == nullptr) return false;
    if (DataLen() == kUserV2Size) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_User_Log] Warn: Maybe Old Ver K2.6 Vexlogs!!!\n");
        return Check_UserV2_Log(kind);
    }
    if (!CheckSizeAndInvert(kUserSize, "[Check_User_Log] Wrong User Packge Size = %u Correct Size = %u\n")) {
        return false;
    }
    return CheckUserFields("[Check_User_Log] Wrong UserLog Action Type = %u\n",
                           "[Check_User_Log] Wrong UserLog Result Type = %d\n",
                           "[Check_User_Log] Wrong UserLog ServiceType Type = %d\n",
                           "[Check_User_Log] Wrong UserLog ServerAttribute Type = %d\n",
                           "[Check_User_Log] Wrong UserLog AuthMethod Type = %d\n");
}

bool CNodeLogRecordTask::Check_UserV2_Log(int) {
    if (m_pCurrent == nullptr) return false;
    if (!CheckSizeAndInvert(kUserV2Size, "[Check_UserV2_Log] Wrong UserLogV2 Packge Size = %u\n")) return false;
    return CheckUserFields("[Check_UserV2_Log] Wrong UserLogV2 Action Type = %d\n",
                           "[Check_UserV2_Log] Wrong UserLogV2 Result Type = %d\n",
                           "[Check_UserV2_Log] Wrong UserLogV2 ServiceType Type = %d\n",
                           "[Check_UserV2_Log] Wrong UserLogV2 ServerAttribute Type = %d\n",
                           "[Check_UserV2_Log] Wrong UserLogV2 AuthMethod Type = %d\n");
}

bool CNodeLogRecordTask::Check_UserV3_Log(int) {
    if (m_pCurrent == nullptr) return false;
    if (!CheckSizeAndInvert(kUserV3Size, "[Check_UserV3_Log] Wrong UserLogV3 Packge Size = %u Correct = %u\n")) {
        return false;
    }
    return CheckUserFields("[Check_UserV3_Log] Wrong UserLogV3 Action Type = %d\n",
                           "[Check_UserV3_Log] Wrong UserLogV3 Result Type = %d\n",
                           "[Check_UserV3_Log] Wrong UserLogV3 ServiceType Type = %d\n",
                           "[Check_UserV3_Log] Wrong UserLogV3 ServerAttribute Type = %d\n",
                           "[Check_UserV3_Log] Wrong UserLogV3 AuthMethod Type = %d\n");
}

bool CNodeLogRecordTask::Check_Audit_Log(int) {
    return m_pCurrent != nullptr && CheckSizeAndInvert(kAuditSize, "[Check_Audit_Log] Wrong Audit Packge Size = %u\n");
}

bool CNodeLogRecordTask::Check_Admin_Log(int) {
    if (m_pCurrent == nullptr ||
        !CheckSizeAndInvert(kAdminSize, "[Check_Admin_Log] Wrong Admin Log Packge Size = %u\n")) {
        return false;
    }
    const std::int32_t action = I32(m_pCurrent, offsetof(packet::AdminRecord, action));
    const std::int32_t entity = I32(m_pCurrent, offsetof(packet::AdminRecord, entity));
    const std::int32_t result = I32(m_pCurrent, offsetof(packet::AdminRecord, result));
    if (action < 0 || action > 6) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_Admin_Log] Wrong Admin Action Type = %d\n", action);
        return false;
    }
    if (entity < 0 || entity > 15) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_Admin_Log] Wrong Admin Entity Type = %d\n", entity);
        return false;
    }
    if (result < 0 || result > 2) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_Admin_Log] Wrong Admin Result Type = %d\n", result);
        return false;
    }
    return true;
}

bool CNodeLogRecordTask::Check_Alarm_Log(int) {
    if (m_pCurrent == nullptr || !CheckSizeAndInvert(kAlarmSize, "[Check_Alarm_Log] Wrong Alarm Packge Size = %u\n")) {
        return false;
    }
    const std::int32_t type = I32(m_pCurrent, offsetof(AlarmRecord, alarmType));
    if (type < 0 || type > 12) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_Alarm_Log] Wrong Alarm Type = %d\n", type);
        return false;
    }
    return true;
}

bool CNodeLogRecordTask::Check_LogudtDB_Log(int) {
    if (m_pCurrent == nullptr) return false;
    const std::uint32_t length = DataLen();
    if (length < kInfoSyncMinSize) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_LogudtDB_Log] Wrong LogudtDB Packge Size = %u\n", length);
        return false;
    }
    if (m_pCurrent[offsetof(PacketHeader, inverted)] != 0) InvertRecord(m_pCurrent, length);
    const std::uint32_t type = ReadU32(m_pCurrent + offsetof(InfoSyncHeader, updateType));
    if (type >= 3) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_LogudtDB_Log] Wrong LogudtDB UpdateType Type = %u\n", type);
        return false;
    }
    return true;
}

bool CNodeLogRecordTask::Check_System_Log(int) {
    if (m_pCurrent == nullptr ||
        !CheckSizeAndInvert(kSystemSize, "[Check_System_Log] Wrong System Packge Size = %u\n")) {
        return false;
    }
    const std::int32_t level = I32(m_pCurrent, offsetof(SystemRecord, level));
    const std::int32_t process = I32(m_pCurrent, offsetof(SystemRecord, process));
    if (level < 0 || level > 4) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_System_Log] Wrong System Log Type = %d\n", level);
        return false;
    }
    if (process < 0 || process > 603) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_System_Log] Wrong System Process Type = %d\n", process);
        return false;
    }
    return true;
}

bool CNodeLogRecordTask::Check_UserAuditFile_Log(int) {
    if (m_pCurrent == nullptr) return false;
    const std::uint32_t length = DataLen();
    if (length < kUserAuditFileMinSize) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[Check_UserAuditFile_Log] Wrong UserAuditFile Packge , Size = %u Correct At Least %u\n", length,
            kUserAuditFileMinSize);
        return false;
    }
    if (m_pCurrent[offsetof(PacketHeader, inverted)] != 0) InvertRecord(m_pCurrent, length);
    const std::int32_t op = I32(m_pCurrent, kAuditFileOpTypeOffset);
    if (op < 1 || op > 4) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[Check_UserAuditFile_Log] Wrong UserAuditFile TransactionOpType Type = %d\n", op);
        return false;
    }
    const std::uint32_t extra = ReadU32Net(m_pCurrent + kAuditFileExtraSizeOffset);
    if (extra >= 0x7FFFFFFFu) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[Check_UserAuditFile_Log] Wrong UserAuditFile ExtraDataSize = %u\n",
            extra);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Deals

int CNodeLogRecordTask::Deal_Fail(int) { return 0; }

void CNodeLogRecordTask::LogResourceAccess(const char* format) {
    if (!LogWanted(Recorder(), LOG_LEVEL_DEBUG)) return;  // spares the address text
    Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, format,
        I32(m_pCurrent, kHeaderSize + offsetof(UserCommon, serviceType)),
        IpToText(ReadU32Net(m_pCurrent + kHeaderSize + offsetof(UserCommon, serverAddressNet))).c_str(),
        ReadU16Net(m_pCurrent + kHeaderSize + offsetof(UserCommon, serverPortNet)));
}

int CNodeLogRecordTask::Deal_UnSupport_Log(int) {
    CountInfo(INFO_COUNTER_UNSUPPORTED);
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[Deal_UnSupport_Log] UnSupport Type = %u DataSize = %u\n", LogType(),
        DataLen());
    Consume();
    return 1;
}

bool CNodeLogRecordTask::SyncCheck(const char* message) {
    if (m_nSyncOK.load() == 1 || IsSyncOK(Identity())) return true;
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "%s", message);
    loss::Add(loss::REFUSED_NOT_SYNCED);
    if (NodeActivity* activity = ActivityOf(Identity())) activity->refused.fetch_add(1, std::memory_order_relaxed);
    Consume();
    return false;
}

template <class Record>
int CNodeLogRecordTask::WriteAndConsume(int kind) {
    loss::Add(loss::ACCEPTED);
    if (NodeActivity* activity = ActivityOf(Identity())) {
        const std::uint32_t type = LogType();
        const NodeActivity::Kind which = type == packet::LOG_SYSTEM  ? NodeActivity::KIND_SYSTEM
                                         : type == packet::LOG_ALARM ? NodeActivity::KIND_ALARM
                                         : type == packet::LOG_ADMIN ? NodeActivity::KIND_ADMIN
                                         : type == packet::LOG_AUDIT ? NodeActivity::KIND_AUDIT
                                                                     : NodeActivity::KIND_USER;
        activity->accepted[which].fetch_add(1, std::memory_order_relaxed);
    }
    const int result =
        m_WriterManager.WriteLog(static_cast<std::uint32_t>(kind), reinterpret_cast<const Record*>(m_pCurrent));
    if (result == 0) return 0;
    Consume();
    return result;
}

int CNodeLogRecordTask::Deal_KeepAlive_Log(int kind) {
    CountInfo(INFO_COUNTER_KEEPALIVE);
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    if (HasTestMark(m_pCurrent)) {
        WriteDataToSendCache(kTestMark, kTestMarkSize);
        Consume();
        return 1;
    }
    m_dwDevType = static_cast<std::uint32_t>(I32(m_pCurrent, offsetof(KeepAliveRecord, devType)));
    std::memcpy(m_KeepAliveIdentity, Identity(), sizeof(m_KeepAliveIdentity));
    KeepAliveReply reply{};
    std::memcpy(&reply.header, m_pCurrent, kHeaderSize);
    reply.header.m_DataLen = kKeepAliveReplySize;
    WriteDataToSendCache(&reply, sizeof(reply));
    if (DiskFull()) return 0;
    // A connection that has not named a registered node is answered (a
    // gateway relies on the reply) but nothing of it is stored: its
    // statements would have no database to go to.
    if (!m_pIdentified->load()) {
        Consume();
        return 1;
    }
    m_WriterManager.WriteLog(static_cast<std::uint32_t>(kind), reinterpret_cast<const KeepAliveRecord*>(m_pCurrent));
    Consume();
    return 1;
}

int CNodeLogRecordTask::Deal_User_Log(int kind) {
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    if (DataLen() == kUserV2Size) return Deal_UserV2_Log(kind);
    const std::int32_t action = I32(m_pCurrent, kHeaderSize + offsetof(UserCommon, action));
    CountInfo(action == 2 ? INFO_COUNTER_FLOW : INFO_COUNTER_USER);
    if (action == 3) {
        LogResourceAccess("[Deal_User_Log] ServerType = %d Resouce = %s:%u\n");
    } else if (action == 2) {
        const std::int32_t up = I32(m_pCurrent, offsetof(UserRecordV1, upFlux));
        const std::int32_t down = I32(m_pCurrent, offsetof(UserRecordV1, downFlux));
        Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[Deal_User_Log] Receive Flow Log Up = %d , Dw = %d\n", up, down);
        if (up <= 0 && down <= 0) {
            Consume();
            return 1;
        }
    }
    if (!SyncCheck("[Deal_User_Log] Sync Not Ready , Drop Packge!\n")) return 1;
    return WriteAndConsume<UserRecordV1>(kind);
}

int CNodeLogRecordTask::Deal_UserV2_Log(int kind) {
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    const std::int32_t action = I32(m_pCurrent, kHeaderSize + offsetof(UserCommon, action));
    CountInfo(action == 2 ? INFO_COUNTER_FLOW : INFO_COUNTER_USER);
    if (action == 3) {
        LogResourceAccess("[Deal_UserV2_Log] ServerType = %d Resouce = %s:%u\n");
    } else if (action == 2) {
        const std::int32_t up = I32(m_pCurrent, offsetof(UserRecordV2, upFlux));
        const std::int32_t down = I32(m_pCurrent, offsetof(UserRecordV2, downFlux));
        const std::int32_t rawUp = I32(m_pCurrent, offsetof(UserRecordV2, rawUpFlux));
        const std::int32_t rawDown = I32(m_pCurrent, offsetof(UserRecordV2, rawDownFlux));
        Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag,
            "[Deal_UserV2_Log] Receive Flow LogV2 Up = %d , Dw = %d , RawUp = %d , RawDw = %d\n", up, down, rawUp,
            rawDown);
        if (up <= 0 && down <= 0 && rawUp <= 0 && rawDown <= 0) {
            Consume();
            return 1;
        }
    }
    if (!SyncCheck("[Deal_UserV2_Log] Sync Not Ready , Drop Packge!\n")) return 1;
    return WriteAndConsume<UserRecordV2>(kind);
}

int CNodeLogRecordTask::Deal_UserV3_Log(int kind) {
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    const std::int32_t action = I32(m_pCurrent, kHeaderSize + offsetof(UserCommon, action));
    CountInfo(action == 2 ? INFO_COUNTER_FLOW : INFO_COUNTER_USER);
    if (action == 3) {
        LogResourceAccess("[Deal_UserV3_Log] ServerType = %d Resouce = %s:%u\n");
    } else if (action == 2) {
        const std::int64_t up = I64(m_pCurrent, offsetof(UserRecordV3, upFlux));
        const std::int64_t down = I64(m_pCurrent, offsetof(UserRecordV3, downFlux));
        const std::int64_t rawUp = I64(m_pCurrent, offsetof(UserRecordV3, rawUpFlux));
        const std::int64_t rawDown = I64(m_pCurrent, offsetof(UserRecordV3, rawDownFlux));
        Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag,
            "[Deal_User_Log] Receive Flow LogV3 Up = %" PRId64 " , Dw = %" PRId64 " , RawUp = %" PRId64
            " , RawDw = %" PRId64 "\n",
            up, down, rawUp, rawDown);
        if (up <= 0 && down <= 0 && rawUp <= 0 && rawDown <= 0) {
            Consume();
            return 1;
        }
    }
    if (!SyncCheck("[Deal_UserV3_Log] Sync Not Ready , Drop Packge!\n")) return 1;
    return WriteAndConsume<UserRecordV3>(kind);
}

int CNodeLogRecordTask::Deal_Audit_Log(int kind) {
    CountInfo(INFO_COUNTER_AUDIT);
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    if (!SyncCheck("[Deal_Audit_Log] Sync Not Ready , Drop Packge!\n")) return 1;
    return WriteAndConsume<AuditRecord>(kind);
}

int CNodeLogRecordTask::Deal_Admin_Log(int kind) {
    CountInfo(INFO_COUNTER_ADMIN);
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    if (!SyncCheck("[Deal_Admin_Log] Sync Not Ready , Drop Packge!\n")) return 1;
    return WriteAndConsume<packet::AdminRecord>(kind);
}

int CNodeLogRecordTask::Deal_Alarm_Log(int kind) {
    CountInfo(INFO_COUNTER_ALARM);
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    if (!SyncCheck("[Deal_Alarm_Log] Sync Not Ready , Drop Packge!\n")) return 1;
    return WriteAndConsume<AlarmRecord>(kind);
}

int CNodeLogRecordTask::Deal_System_Log(int kind) {
    CountInfo(INFO_COUNTER_SYSTEM);
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    if (!SyncCheck("[Deal_System_Log] Sync Not Ready , Drop Packge!\n")) return 1;
    return WriteAndConsume<SystemRecord>(kind);
}

int CNodeLogRecordTask::Deal_UserAuditFile_Log(int kind) {
    CountInfo(INFO_COUNTER_USER);
    if (m_pCurrent == nullptr || m_pRecvRing == nullptr) return 0;
    try {
        if (m_ReplyBuff.size() < kReplyBuffSize) m_ReplyBuff.resize(kReplyBuffSize);
    } catch (const std::bad_alloc&) {
        // Without a reply buffer the upload's answers cannot be made.
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[Deal_UserAuditFile_Log] Invalid Reply Buff , Drop Packge!\n");
        return 0;
    }
    auto* reply = reinterpret_cast<ReplyBuff*>(m_ReplyBuff.data());
    reply->capacity = static_cast<std::uint32_t>(m_ReplyBuff.size() - 12);
    reply->used = 0;
    if (!SyncCheck("[Deal_UserAuditFile_Log] Sync Not Ready , Drop Packge!\n")) return 1;
    const int result = m_WriterManager.WriteLog(static_cast<std::uint32_t>(kind),
                                                reinterpret_cast<const UserAuditFilePacket*>(m_pCurrent), reply);
    if (reply->used != 0) WriteDataToSendCache(reply->data, reply->used);
    if (result == 0) return 0;
    Consume();
    return result;
}

// ---------------------------------------------------------------------------
// Sync state and replies

bool CNodeLogRecordTask::IsSyncOK(const BYTE* identity) {
    if (m_nSyncOK.load() == 1) return true;
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    if (data->GetNodeSyncCount(identity) == 0) return false;
    data->AddNodeSyncRef(identity);
    std::memcpy(m_SyncRefIdentity, identity, sizeof(m_SyncRefIdentity));
    m_bSyncRefAdded = true;
    m_nSyncOK.store(1);
    AttachToNode(identity);
    if (!SetDbName(identity)) return false;
    PostNameAndIdentity(WM_TARNNODE_INFO_UPDATE, "[IsSyncOK] Alloc memory failed",
                        "[IsSyncOK] Cannot Post Message To Tarn Node Thread Err = %u\n");
    return true;
}

void CNodeLogRecordTask::AttachToNode(const BYTE* identity) {
    if (m_bAttached) return;
    CGlobalSharedData::GetInstance()->AttachNodeTask(identity);
    std::memcpy(m_AttachedIdentity, identity, sizeof(m_AttachedIdentity));
    m_bAttached = true;
}

bool CNodeLogRecordTask::SetDbName(const BYTE* identity) {
    std::string text = HexUpper(identity, 16);
    for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    CGlobalSharedData* data = CGlobalSharedData::GetInstance();
    CCSLocker lock(data->NodeListLock());
    m_strDbName.clear();
    for (const auto& node : data->NodeListLocked()) {
        Log(Recorder(), LOG_LEVEL_DEBUG, kClassTag, "[SetDbName] Compare MD5 %s With %s\n",
            ShortIdentity(node->strMd5Secret).c_str(), ShortIdentity(text).c_str());
        if (node->strMd5Secret == text) {
            m_strDbName = node->strDbName;
            break;
        }
    }
    if (m_strDbName.empty()) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[SetDbName] Current MD5 = %s Does Not In The DevNode List\n",
            ShortIdentity(text).c_str());
        return false;
    }
    m_WriterManager.SetDbName(m_strDbName.c_str());
    return true;
}

void CNodeLogRecordTask::PostNameAndIdentity(UINT message, const char* allocFailText, const char* postFailText) {
    auto* name = reinterpret_cast<char*>(AllocBuff(static_cast<DWORD>(m_strDbName.size() + 1)));
    BYTE* identity = AllocBuff(16);
    if (name == nullptr || identity == nullptr) {
        if (allocFailText != nullptr) Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "%s", allocFailText);
        if (name != nullptr) ReleaseByteBuff(name);
        if (identity != nullptr) ReleaseByteBuff(identity);
        return;
    }
    std::memcpy(name, m_strDbName.c_str(), m_strDbName.size() + 1);
    std::memcpy(identity, m_pCurrent != nullptr ? Identity() : m_KeepAliveIdentity, 16);
    if (!PostThreadMessage(m_dwNodeThreadId, message, reinterpret_cast<WPARAM>(name),
                           reinterpret_cast<LPARAM>(identity))) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, postFailText, GetLastError());
        ReleaseByteBuff(name);
        ReleaseByteBuff(identity);
    }
}

void CNodeLogRecordTask::WriteDataToSendCache(const void* bytes, DWORD length) {
    if (m_pSendRing == nullptr || !m_pSendRing->IsInitialised() || bytes == nullptr) return;
    // A reply tells the node that what it sent before was taken: the lines
    // of those logs are written first.
    CDataFileBatch::FlushCurrent();
    const auto* p = static_cast<const BYTE*>(bytes);
    HANDLE waits[2] = {GetExitEvent(), m_pSendRing->GetNotFullEvent()};
    auto copyOnce = [&]() {
        DWORD free = 0;
        if (!m_pSendRing->GetCanWriteSize(&free)) return false;
        const DWORD n = free < length ? free : length;
        std::memcpy(m_pSendRing->GetWritePos(), p, n);
        m_pSendRing->WriteCommit(n);
        p += n;
        length -= n;
        return true;
    };
    while (length > 0 && IsRunning()) {
        const std::uint64_t seen = m_pSendRing->ReadCount();
        if (copyOnce()) {
            NotifyTarnNodeDataCanSend();
            continue;
        }
        if (!m_pSendRing->ArmNotFull(seen)) continue;  // the node thread sent some meanwhile
        const DWORD rc = WaitForMultipleObjects(2, waits, false, kWaitMs);
        if (rc == WAIT_OBJECT_0 + 1) {
            copyOnce();
            NotifyTarnNodeDataCanSend();
        } else if (rc == WAIT_OBJECT_0) {
            break;
        } else if (rc == WAIT_FAILED) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[WriteDataToSendCache] Wait Fail Err = %u\n", GetLastError());
            return;
        } else {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
                "[WriteDataToSendCache] Wait SendRingCache Timeout! Something Wrong With The Network?\n");
        }
    }
    // The connection is closing (the packets still in the receive ring are
    // being handled): nobody sends any more. The dropped replies are counted
    // and reported once when the task ends.
    if (length > 0) ++m_dwDroppedReplies;
}

void CNodeLogRecordTask::NotifyTarnNodeDataCanSend() {
    if (m_dwNodeThreadId == 0) return;
    if (!PostThreadMessage(m_dwNodeThreadId, WM_TARNNODE_DATA_CAN_SEND, 0, 0)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[NotifyTarnNodeDataCanSend] Fail Err = %u\n", GetLastError());
    }
}

bool CNodeLogRecordTask::ExecSql(const std::string& statement, MYSQL* connection) {
    if (ExecuteSql(connection, statement)) return true;
    // A snapshot's rows come from the node: a bad one fails row after row,
    // so the line is written once a minute per node with the count.
    LogLimited(Recorder(), m_strDbName, LOG_LEVEL_ERROR, kClassTag, "[ExecSql] Fail To Exec Sql = %s ErrNo = %u\n",
               statement.c_str(), connection != nullptr ? mysql_errno(connection) : 0u);
    return false;
}

void CNodeLogRecordTask::ExecSqlList(const std::vector<std::string>& statements, MYSQL* connection) {
    for (const std::string& s : statements) ExecSql(s, connection);
}

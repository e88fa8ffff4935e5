#include "datafile/DataFile.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "config/ConfigManager.h"
#include "core/LossAccounting.h"
#include "core/ProgramLog.h"
#include "core/modules/BuffManager.h"
#include "core/modules/CSLocker.h"
#include "platform/Clock.h"

namespace {

constexpr char kTag[] = "[CDataFile]";
constexpr DWORD kFreeBuffWaitMs = 1000;
constexpr DWORD kFlushWaitMs = 10000;
constexpr DWORD kCloseWaitMs = 1000;
constexpr DWORD kMsPerMinute = 60000;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// An overlapped request's offset, low and high words.
void SetOffset(OVERLAPPED* ov, std::uint64_t offset) {
    ov->Offset = static_cast<DWORD>(offset);
    ov->OffsetHigh = static_cast<DWORD>(offset >> 32);
}

}  // namespace

CDataFile::CDataFile() { InitializeCriticalSectionAndSpinCount(&m_csFile, kCsSpinCount); }

CDataFile::~CDataFile() {
    Close();
    if (m_hEvents[0] != nullptr || m_hEvents[1] != nullptr) {
        for (HANDLE event : m_hEvents) {
            if (event != nullptr) SetEvent(event);
        }
        std::this_thread::yield();
        for (HANDLE& event : m_hEvents) {
            if (event != nullptr) CloseHandle(event);
            event = nullptr;
        }
    }
    for (BYTE*& buffer : m_pBuff) {
        if (buffer != nullptr) ReleaseByteBuff(buffer);
        buffer = nullptr;
    }
    DeleteCriticalSection(&m_csFile);
}

bool CDataFile::AllocBuffers() {
    for (int i = 0; i < 2; ++i) {
        if (m_hEvents[i] == nullptr) m_hEvents[i] = CreateEvent(true, true);
        if (m_pBuff[i] == nullptr) m_pBuff[i] = AllocBuff(kDataFileBuffSize);
        m_dwBuffLen[i] = 0;
        m_Overlapped[i].hEvent = m_hEvents[i];
    }
    return m_hEvents[0] != nullptr && m_hEvents[1] != nullptr && m_pBuff[0] != nullptr && m_pBuff[1] != nullptr;
}

DWORD CDataFile::SinceCreateFailed() const {
    return m_bCreateFailed.load() ? std::max<DWORD>(GetTickCount() - m_dwCreateFailTick.load(), 1) : 0;
}

bool CDataFile::Create() {
    CCSLocker lock(&m_csFile);
    const bool asyncWanted = CConfigManager::GetInstance()->m_ZelkAdv.EnableAsyncWrite != 0;
    bool ok = true;
    if (asyncWanted && m_dwAsyncMode == 0) {
        if (AllocBuffers()) {
            m_dwAsyncMode = 1;
        } else {
            ok = false;
        }
    }
    Close();

    m_hFile = CAsyncFile::Create(m_strFilePath.c_str(), asyncWanted && m_dwAsyncMode == 1, true);
    if (m_hFile == nullptr) {
        const DWORD error = GetLastError();
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Create] Create Data File Fail Err = %u\n", error);
        m_dwCreateFailTick.store(GetTickCount());
        m_bCreateFailed.store(true);
        SetLastError(error);
    } else {
        m_bCreateFailed.store(false);
    }
    m_dwHasData.store(0);
    m_qwBytes.store(0);
    m_dwFirstWriteTick.store(0);
    m_llFirstLineTime.store(0);
    m_dwCurBuffIndex = 0;
    m_qwWriteOffset.store(0);
    for (int i = 0; i < 2; ++i) {
        m_dwBuffLen[i] = 0;
        m_dwSentLen[i] = 0;
        m_Overlapped[i] = OVERLAPPED{0, 0, 0, 0, m_hEvents[i]};
    }
    if (m_hFile != nullptr && ok) {
        m_dwWritable.store(1);
        return true;
    }
    delete m_hFile;
    m_hFile = nullptr;
    return false;
}

DWORD CDataFile::Write(const void* data, DWORD length) {
    CCSLocker lock(&m_csFile);
    if (m_hFile == nullptr || data == nullptr || length == 0 || m_dwWritable.load() == 0) return 0;
    DWORD result = 0;
    if (m_hFile->IsOverlapped()) {
        if (length >= kDataFileBuffSize) {
            result = WriteLarge(data, length);
        } else {
            while (m_dwBuffLen[m_dwCurBuffIndex] + length >= kDataFileBuffSize) SwitchBuffer();
            std::memcpy(m_pBuff[m_dwCurBuffIndex] + m_dwBuffLen[m_dwCurBuffIndex], data, length);
            m_dwBuffLen[m_dwCurBuffIndex] += length;
            result = length;
        }
    } else {
        m_hFile->WriteFile(data, length, &result, nullptr);
    }
    m_qwBytes.fetch_add(result, std::memory_order_relaxed);
    if (result != 0) ++m_qwWrites;
    if (result != 0 && m_dwHasData.load() == 0) {
        m_dwFirstWriteTick.store(GetTickCount());
        m_llFirstLineTime.store(static_cast<std::int64_t>(GetSystemTimeSeconds()));
        m_dwHasData.store(1);
    }
    return result;
}

void CDataFile::SwitchBuffer() {
    const DWORD sent = m_dwCurBuffIndex;
    WriteAsync(sent);
    DWORD index = GetFreeBuffIndex();
    DWORD written = 0;
    if (index > 1) {
        // Both buffers are in flight. Sending the current one again would
        // duplicate it; wait for the older write, which ends before it.
        Log(Recorder(), LOG_LEVEL_WARN, kTag, "[Write] No Free Buffer, Wait For Earlier Write\n");
        index = 1 - sent;
        m_hFile->GetOverlappedResult(&m_Overlapped[index], &written, true);
    }
    const bool ok = m_hFile->GetOverlappedResult(&m_Overlapped[index], &written, false);
    if (!ok) Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[WriteAsync] Write Async Err = %u\n", GetLastError());
    NoteWrite(m_Overlapped[index], m_dwSentLen[index], written);
    m_dwSentLen[index] = 0;
    m_dwCurBuffIndex = index;
    m_dwBuffLen[index] = 0;
}

DWORD CDataFile::WriteLarge(const void* data, DWORD length) {
    if (m_dwBuffLen[m_dwCurBuffIndex] != 0) SwitchBuffer();
    OVERLAPPED ov{};
    SetOffset(&ov, m_qwWriteOffset.fetch_add(length));
    DWORD written = 0;
    // A refused start and a failed completion are reported alike.
    if ((!m_hFile->WriteFile(data, length, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) ||
        !m_hFile->GetOverlappedResult(&ov, &written, true)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[WriteAsync] Write Async Err = %u\n", GetLastError());
    }
    if (written == length) return written;
    // Its range is reserved: the file is cut there at Close, so the write
    // counts as refused, and the caller keeps the data elsewhere.
    NoteWrite(ov, length, written);
    return 0;
}

bool CDataFile::StartBuffWrite(DWORD index, DWORD* error) {
    OVERLAPPED& ov = m_Overlapped[index];
    ov = OVERLAPPED{};
    SetOffset(&ov, m_qwWriteOffset.fetch_add(m_dwBuffLen[index]));
    ov.hEvent = m_hEvents[index];
    m_dwSentLen[index] = m_dwBuffLen[index];
    *error = ERROR_SUCCESS;
    if (m_hFile->WriteFile(m_pBuff[index], m_dwBuffLen[index], nullptr, &ov)) return true;
    *error = GetLastError();
    if (*error == ERROR_IO_PENDING) return true;
    NoteWrite(ov, m_dwSentLen[index], 0);  // never started: its range stays empty
    m_dwSentLen[index] = 0;
    SetEvent(m_hEvents[index]);            // the buffer is free again
    return false;
}

void CDataFile::WriteAsync(DWORD index) {
    CCSLocker lock(&m_csFile);
    if (index > 1 || m_hFile == nullptr || !m_hFile->IsOverlapped()) return;
    DWORD error = 0;
    if (!StartBuffWrite(index, &error)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[WriteAsync] Write Async Err = %u\n", error);
    }
}

DWORD CDataFile::GetFreeBuffIndex() {
    if (m_hEvents[0] == nullptr || m_hEvents[1] == nullptr) return 2;
    const DWORD ret = WaitForMultipleObjects(2, m_hEvents, false, kFreeBuffWaitMs);
    Log(Recorder(), LOG_LEVEL_INFO, kTag, "[GetFreeBuffIndex] Index = %u\n", ret);
    return ret <= WAIT_OBJECT_0 + 1 ? ret - WAIT_OBJECT_0 : 2;
}

bool CDataFile::Flush() {
    CCSLocker lock(&m_csFile);
    if (m_hFile == nullptr || !m_hFile->IsOverlapped()) return true;
    const DWORD index = m_dwCurBuffIndex;
    if (m_dwBuffLen[index] == 0) return true;
    DWORD error = 0;
    if (!StartBuffWrite(index, &error)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Flush] Flush Data To File Fail Real Write = %u , Err = %u\n", 0u,
            error);
        m_dwBuffLen[index] = 0;
        return false;
    }
    WaitForSingleObject(m_hEvents[index], kFlushWaitMs);
    DWORD written = 0;
    error = ERROR_SUCCESS;
    if (!m_hFile->GetOverlappedResult(&m_Overlapped[index], &written, true)) error = GetLastError();
    NoteWrite(m_Overlapped[index], m_dwSentLen[index], written);
    m_dwSentLen[index] = 0;
    m_dwBuffLen[index] -= written < m_dwBuffLen[index] ? written : m_dwBuffLen[index];
    if (m_dwBuffLen[index] == 0) return true;
    Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Flush] Flush Data To File Fail Real Write = %u , Err = %u\n", written,
        error);
    m_dwBuffLen[index] = 0;  // not retried: a later write must not send these bytes again
    return false;
}

bool CDataFile::Close() {
    m_dwWritable.store(0);
    CCSLocker lock(&m_csFile);
    const bool result = Flush();
    if (m_dwAsyncMode != 0) {
        const DWORD ret = WaitForMultipleObjects(2, m_hEvents, true, kCloseWaitMs);
        Log(Recorder(), LOG_LEVEL_DEBUG, kTag, "[Close] Wait For Event Object Ret = %u\n", ret);
        // Closing the file drops writes that have not started: every buffer
        // write still in flight is waited for first, however slow the disk.
        for (int i = 0; i < 2; ++i) {
            DWORD written = 0;
            if (m_hFile == nullptr) continue;
            m_hFile->GetOverlappedResult(&m_Overlapped[i], &written, true);
            NoteWrite(m_Overlapped[i], m_dwSentLen[i], written);
            m_dwSentLen[i] = 0;
        }
        CutAtFailedWrite();
    }
    delete m_hFile;  // nothing is left to cancel; waits for the I/O thread
    m_hFile = nullptr;
    m_qwWriteOffset.store(0);
    m_qwWrites = 0;
    return result;
}

void CDataFile::NoteWrite(const OVERLAPPED& ov, DWORD requested, DWORD written) {
    if (written >= requested) return;
    const std::uint64_t offset = ((static_cast<std::uint64_t>(ov.OffsetHigh) << 32) | ov.Offset) + written;
    if (m_qwCutAt == kNoCut) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag,
            "[WriteAsync] Write Of %u Byte(s) Ended After %u , Data File = %s Takes No More Lines And Is Cut At Close\n",
            requested, written, m_strFilePath.c_str());
    }
    m_qwCutAt = std::min(m_qwCutAt, offset);
    m_dwWritable.store(0);
}

void CDataFile::CutAtFailedWrite() {
    if (m_qwCutAt == kNoCut || m_hFile == nullptr) return;
    std::uint64_t lines = 0;
    if (!m_hFile->TruncateAndCountLines(m_qwCutAt, &lines)) {
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Close] Cannot Cut Data File = %s At %llu Err = %u\n",
            m_strFilePath.c_str(), static_cast<unsigned long long>(m_qwCutAt), GetLastError());
    } else if (m_qwWrites > lines) {
        // Lines of the failed write and of those after it: written to no file.
        const std::uint64_t lost = m_qwWrites - lines;
        Log(Recorder(), LOG_LEVEL_ERROR, kTag, "[Close] %llu Line(s) Of Data File = %s Lost To A Failed Write\n",
            static_cast<unsigned long long>(lost), m_strFilePath.c_str());
        if (loss::IsLogTable(m_strTableName.c_str())) loss::Drop(loss::DF_LOST, lost);
    }
    m_qwCutAt = kNoCut;
}

bool CDataFile::IsDue() {
    const std::int64_t maxMiB = CConfigManager::GetInstance()->m_ZelkAdv.DataFileMaxSize.Get();
    if (maxMiB > 0 && m_qwBytes.load(std::memory_order_relaxed) >= static_cast<std::uint64_t>(maxMiB) * 1024 * 1024)
        return true;
    return IsUseTimeout();
}

bool CDataFile::IsUseTimeout() {
    if (m_dwHasData.load() == 0) return false;
    const DWORD now = GetTickCount();
    const DWORD first = m_dwFirstWriteTick.load();
    if (now < first) return true;  // the tick count wrapped since the first write
    const DWORD useTime = static_cast<DWORD>(CConfigManager::GetInstance()->m_ZelkAdv.DataFileUseTime.Get());
    return now - first > useTime * kMsPerMinute;
}

// One open data file: the file that receives the text lines of one table of
// one node's database until the data file manager switches it out for import.
//
// Lines are appended either synchronously, or, when EnableAsyncWrite of
// section DataFile is on at Create, through two 12288-byte buffers that go to
// the file as overlapped writes (platform/AsyncFile.h) while the other buffer
// fills. Each buffer write reserves its file range from the atomic write
// offset when it is started, and the writes of one file complete in the order
// they were started, so the file holds the buffers in the order they were
// filled.
//
// What the owner may rely on:
// - Threads. One lock per object (m_csFile, taken through CCSLocker) is held
//   by Write, Flush, Close and Create for their whole run, so appends from
//   the node's two writing threads never interleave inside a line and a
//   write never overlaps the closing or re-creating of the same object. The
//   writable flag is cleared by Close before it takes the lock, so writes
//   queued behind a switch-out are refused rather than sent to the next file.
//   A write may hold the lock while it waits for a buffer (below); Close and
//   Create wait for it. IsUseTimeout takes no lock.
// - Mode. A file is written in the mode chosen when it was created: async
//   when the key was on at Create and both buffers and events exist, else
//   synchronous. A change of EnableAsyncWrite takes effect at the next Create.
//   In synchronous mode a write goes straight to the file and Flush writes
//   nothing and succeeds.
// - No free buffer. When neither buffer comes free within 1000 ms after the
//   current one was sent, the write waits, without a time limit, for the
//   older buffer's write (writes complete in order and every started write
//   ends, successfully or with an error) and continues in that buffer. The
//   buffer just sent is never sent again and no byte is dropped; a write
//   waits as long as the disk takes.
// - Large writes. A single write of 12288 bytes or more in async mode sends
//   the current buffer first, then writes the data at its own reserved offset
//   after it and waits for that write, so the file keeps the order of writes.
// - Flush waits for the write it started: when the write is still running
//   after 10 s it keeps waiting, because the buffer stays current and must
//   not be refilled while the system still reads it. A short or failed write
//   is logged and reported as false and not retried; the buffer is emptied.
// - A failed or short buffer write leaves part of its reserved range empty
//   while later writes may land behind it. The file then refuses further
//   writes (the writer sends those logs by SQL), and Close cuts it where the
//   failure began, so the import never meets a torn line or a gap; the lines
//   cut off are logged and counted as lost (loss::DF_LOST).
// - Create empties both buffers and their write records, so nothing of a
//   previous file reaches the next one.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/AsyncFile.h"
#include "platform/Sync.h"
#include "platform/WinTypes.h"

constexpr DWORD kDataFileBuffSize = 12288;

class CDataFile {
public:
    CDataFile();
    // Close, then releases the events and the buffers.
    virtual ~CDataFile();
    CDataFile(const CDataFile&) = delete;
    CDataFile& operator=(const CDataFile&) = delete;

    // Creates m_strFilePath (mode 0640) and makes the object writable; a file
    // still open is flushed and closed first. Anything already at the path (a
    // file of another writer under the same name, a symbolic link) fails the
    // create with ERROR_ALREADY_EXISTS and is left as it was.
    bool Create();
    // Appends length bytes. Returns the number accepted, 0 when refused (not
    // open, not writable, no data).
    DWORD Write(const void* data, DWORD length);
    // Starts the overlapped write of buffer index (0 or 1).
    void WriteAsync(DWORD index);
    // Index of a buffer whose last write has completed, waiting up to
    // 1000 ms; 2 when neither came free.
    DWORD GetFreeBuffIndex();
    // Writes the current buffer out and waits for it.
    bool Flush();
    // Makes the object unwritable, flushes, waits for pending writes and
    // closes the file; the result is the flush's.
    bool Close();
    // True when the file has held data for DataFileUseTime minutes, or the
    // tick count wrapped since its first write.
    bool IsUseTimeout();
    // True when it is due for rotation: use time over, or DataFileMaxSize
    // MiB (when above 0) accepted.
    bool IsDue();
    // True between a successful Create and Close.
    bool IsWritable() const { return m_dwWritable.load() == 1; }
    // Milliseconds since the last Create failed; 0 when it did not.
    DWORD SinceCreateFailed() const;
    // Unix seconds (GetSystemTimeSeconds) of the first line accepted since
    // Create, 0 when none: the age of the oldest log the file holds. The
    // manager hands it to the import list at switch-out and then clears it.
    std::int64_t FirstLineTime() const { return m_llFirstLineTime.load(); }
    void ClearFirstLineTime() { m_llFirstLineTime.store(0); }

    // Tests start the asynchronous write offset where they need it.
    void SetWriteOffsetForTest(std::uint64_t offset) { m_qwWriteOffset.store(offset); }

    // Set by the data file manager before Create.
    std::string m_strFilePath;
    std::string m_strDBName;
    std::string m_strTableName;

private:
    // Takes the buffers and events that are still missing; true when all
    // four exist.
    bool AllocBuffers();
    // Starts the write of buffer index at a reserved offset; false with the
    // error when it could not be started.
    bool StartBuffWrite(DWORD index, DWORD* error);
    // Sends the current buffer and makes a free one current (fill 0).
    void SwitchBuffer();
    DWORD WriteLarge(const void* data, DWORD length);
    // A buffer write that wrote less than requested (an error, a full disk):
    // the file takes no more lines and is cut at the first such point when
    // it is closed, so no torn line or gap stays in it.
    void NoteWrite(const OVERLAPPED& ov, DWORD requested, DWORD written);
    // At Close, with no write in flight: cuts the file and counts the lines
    // accepted since Create that it no longer holds.
    void CutAtFailedWrite();

    static constexpr std::uint64_t kNoCut = UINT64_MAX;

    std::atomic<DWORD> m_dwHasData{0};
    std::atomic<DWORD> m_dwFirstWriteTick{0};
    std::atomic<std::int64_t> m_llFirstLineTime{0};
    std::atomic<std::uint64_t> m_qwBytes{0};  // accepted since Create
    std::atomic<DWORD> m_dwWritable{0};
    BYTE* m_pBuff[2] = {nullptr, nullptr};
    DWORD m_dwBuffLen[2] = {0, 0};
    DWORD m_dwSentLen[2] = {0, 0};         // length of each buffer's last started write
    std::uint64_t m_qwCutAt = kNoCut;      // where the first failed write began to fail
    std::uint64_t m_qwWrites = 0;          // writes accepted since Create
    OVERLAPPED m_Overlapped[2] = {};
    HANDLE m_hEvents[2] = {nullptr, nullptr};
    DWORD m_dwCurBuffIndex = 0;
    CAsyncFile* m_hFile = nullptr;
    // 64-bit: an asynchronous file grows past 4 GiB without wrapping onto its
    // first bytes.
    std::atomic<std::uint64_t> m_qwWriteOffset{0};
    std::atomic<bool> m_bCreateFailed{false};  // the last Create failed, at m_dwCreateFailTick
    std::atomic<DWORD> m_dwCreateFailTick{0};
    DWORD m_dwAsyncMode = 0;
    CRITICAL_SECTION m_csFile;
};

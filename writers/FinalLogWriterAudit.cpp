// The final writer's user audit-file transactions: begin, transmission, end
// and rollback of an upload (see audit/AuditFileManager.h for the registry).
//
// Choices that keep uploads safe and visible:
// - Received ranges: a block is joined only with a range it overlaps or
//   touches. Joining it with the next range whatever lay between them would
//   hide missing blocks, and an upload sent in reverse with a block lost
//   would be stored as complete with that block all zeros.
// - Every length a packet announces is checked against the packet: a block's
//   compressed bytes must lie inside the packet, a stored block inside it too,
//   and no block may be longer than the block size or reach past the stored
//   data size, so a node can neither make the writer read past its packet nor
//   grow the stored file or allocate beyond what the begin announced.
// - Paths: the directory below the upload directory is made of the node's
//   database name, the digits of the log date and the user name with every
//   byte that is no ASCII letter or digit written as "$XX"; nothing a node
//   sends can leave the upload directory.
// - An upload belongs to the node that began it: a transmission, end or
//   rollback with the file ID of another node's upload is treated as one with
//   an unknown ID, and a rollback takes the record lock like the others.
// - What one node can hold is bounded: open uploads per node database and in
//   all, the idle time-out (1..MaxUploadIdleTime), the block size (at most
//   MaxBlockSize KiB, so no block buffer is larger), and the disk: the stored
//   sizes of open uploads are reserved against the free space. The uploads a
//   writer began end with it (its connection), partial files deleted.
// - The SHA-1 sent with the end is stored and echoed as sent. The stored
//   file's own SHA-1 is computed too, and a difference is logged at WARN, so
//   a corrupted upload is visible.
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>

#include "audit/AuditFileManager.h"
#include "audit/Method3Codec.h"
#include "config/ConfigManager.h"
#include "core/ProgramLog.h"
#include "core/Utility.h"
#include "core/modules/BuffManager.h"
#include "core/modules/CSLocker.h"
#include "db/GlobalSharedData.h"
#include "db/SqlText.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "writers/FinalLogWriter.h"

using namespace packet;

namespace {

constexpr char kClassTag[] = "[CFinalLogWriter]";
constexpr std::uint32_t kTransactionReplySize = 75;
constexpr std::uint32_t kAuditRecordReplySize = 930;
constexpr std::uint32_t kEndReplyCapacity = kTransactionReplySize + kAuditRecordReplySize;
constexpr std::uint32_t kLogTypeTransactionReply = 13;
constexpr std::uint32_t kLogTypeAuditRecordReply = 14;

// Offsets of the transaction record.
constexpr size_t kOpTypeOffset = 154;
constexpr size_t kModeOrIdOffset = 158;
constexpr size_t kPathOrBlockOffset = 162;
constexpr size_t kPathSize = 520;
constexpr size_t kSourceSizeOffset = 682;
constexpr size_t kStoredSizeOffset = 690;
constexpr size_t kBlockSizeOffset = 698;
constexpr size_t kTimeoutOffset = 702;
constexpr size_t kMethodOffset = 706;
constexpr size_t kRawLengthOffset = 710;
constexpr size_t kPackedLengthOffset = 714;
constexpr size_t kDataOffset = 718;

enum Status : std::uint32_t {
    STATUS_OK = 0,
    STATUS_INCOMPLETE = 2,
    STATUS_NO_SPACE = 3,
    STATUS_DB_FAIL = 4,
    STATUS_MISSING_BLOCKS = 5,
    STATUS_OTHER = 6,
    STATUS_NO_RECORD = 7
};

// Used while ZelkAdv.conf has not been loaded (its values then read 0).
constexpr std::int32_t kDefaultMaxOpenUploadsPerNode = 8;
constexpr std::int32_t kDefaultMaxOpenUploads = 64;
constexpr std::int32_t kDefaultMaxUploadIdleSeconds = 600;
constexpr std::int32_t kDefaultMaxBlockKiB = 1024;

CProgramLogRecorder* Recorder() { return CProgramLogRecorder::GetInstance(); }

// 1 when the file system of path keeps more than MinFreeSpace MiB free after
// bytes more are written there, else 0 (also when it cannot be measured).
int HasDiskRoomFor(const std::string& path, std::uint64_t bytes) {
    std::uint64_t available = 0, total = 0, free = 0;
    if (!GetDiskFreeSpaceExA(path.c_str(), &available, &total, &free)) return 0;
    const std::int32_t minFreeMiB = CConfigManager::GetInstance()->m_Zelk.MinFreeSpace.Get();
    const std::uint64_t keep = static_cast<std::uint64_t>(minFreeMiB > 0 ? minFreeMiB : 0) * 1048576;
    return available > bytes && available - bytes > keep ? 1 : 0;
}

DWORD Setting(const ConfigInt& value, std::int32_t fallback) {
    const std::int32_t v = value.Get();
    return static_cast<DWORD>(v > 0 ? v : fallback);
}

// The idle time-out a node asked for, within 1..MaxUploadIdleTime (0: the
// maximum).
DWORD ClampIdleTimeout(DWORD requested) {
    const DWORD most = Setting(CConfigManager::GetInstance()->m_ZelkAdv.MaxUploadIdleTime, kDefaultMaxUploadIdleSeconds);
    return requested == 0 || requested > most ? most : requested;
}

const BYTE* Bytes(const UserAuditFilePacket* p) { return reinterpret_cast<const BYTE*>(p); }

std::uint32_t PacketLength(const UserAuditFilePacket* p) { return ReadU32(&p->header.m_DataLen); }

std::int64_t ReadSize(const BYTE* at) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(ReadU32Net(at)) << 32 | ReadU32Net(at + 4));
}

std::string FixedText(const BYTE* at, size_t size) {
    const char* text = reinterpret_cast<const char*>(at);
    return std::string(text, strnlen(text, size));
}

void PutU32(BYTE* at, std::uint32_t v) { std::memcpy(at, &v, sizeof(v)); }

std::string LogDateTime(const UserAuditFilePacket* p) {
    char text[64];
    TranslateDWORDTimeToSZ(ReadU32Net(&p->header.logDateNet), ReadU32Net(&p->header.logTimeNet), text, sizeof(text));
    return text;
}

// Every byte that is no ASCII letter or digit becomes "$" and two upper-case
// hexadecimal digits.
std::string PathSafe(const std::string& name) {
    std::string out;
    char part[4];
    for (unsigned char c : name) {
        if (c < 0x80 && std::isalnum(c)) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(part, sizeof(part), "$%02X", c);
            out += part;
        }
    }
    return out;
}

// Inserts "_<n>" before the last "." of path (appends it when there is none).
std::string WithSuffix(const std::string& path, unsigned n, bool* hasExtension) {
    const std::string suffix = "_" + std::to_string(n);
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    *hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return *hasExtension ? path.substr(0, dot) + suffix + path.substr(dot) : path + suffix;
}

// The transaction reply: request header with type 13, result and status.
BYTE* BuildTransactionReply(ReplyBuff* reply, const UserAuditFilePacket* p) {
    BYTE* r = reply->data;
    std::memset(r, 0, kTransactionReplySize);
    std::memcpy(r, Bytes(p), 50);
    PutU32(r + 24, kLogTypeTransactionReply);
    PutU32(r + 28, kTransactionReplySize);
    PutU32(r + 58, 12);
    return r;
}

void SetOutcome(BYTE* r, std::uint32_t result, std::uint32_t status, DWORD fileId) {
    PutU32(r + 50, result);
    PutU32(r + 54, status);
    WriteU32Net(r + 62, fileId);
}

// Inverts each reply packet's bytes from 42 when the request was inverted.
void InvertReplies(ReplyBuff* reply, const UserAuditFilePacket* p) {
    if (Bytes(p)[41] == 0) return;
    for (std::uint32_t at = 0; at < reply->used;) {
        const std::uint32_t length = ReadU32(reply->data + at + 28);
        if (length < kHeaderSize || at + length > reply->used) break;
        for (std::uint32_t i = at + 42; i < at + length; ++i) reply->data[i] ^= 0xFF;
        at += length;
    }
}

bool FileSha1(const std::string& path, BYTE digest[20]) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) return false;
    bool ok = EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1;
    char buffer[65536];
    while (ok && in) {
        in.read(buffer, sizeof(buffer));
        if (in.gcount() > 0) ok = EVP_DigestUpdate(ctx, buffer, static_cast<size_t>(in.gcount())) == 1;
    }
    unsigned int length = 0;
    ok = ok && in.eof() && EVP_DigestFinal_ex(ctx, digest, &length) == 1 && length == 20;
    EVP_MD_CTX_free(ctx);
    return ok;
}

}  // namespace

int CFinalLogWriter::WriteLog(std::uint32_t kind, const UserAuditFilePacket* p, ReplyBuff* reply) {
    if (p == nullptr || PacketLength(p) < kUserAuditFileMinSize) return 0;
    if (reply != nullptr) reply->used = 0;
    switch (static_cast<std::int32_t>(ReadU32(Bytes(p) + kOpTypeOffset))) {
        case 1: return OnBeginUserAuditFile(p, reply);
        case 2: return OnTransmissionUserAuditFile(p);
        case 3: return OnEndUserAuditFile(p, reply);
        case 4: return OnRollbackUserAuditFile(p);
        default: return 0;
    }
}

int CFinalLogWriter::OnBeginUserAuditFile(const UserAuditFilePacket* p, ReplyBuff* reply) {
    if (reply == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[OnBeginUserAuditFile] No Reply Buff.\n");
        return 0;
    }
    if (reply->capacity < kTransactionReplySize) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[OnBeginUserAuditFile] Buff To Small , CurSize = %u , RequireSize = %u\n",
            reply->capacity, kTransactionReplySize);
        return 0;
    }
    reply->used = kTransactionReplySize;
    BYTE* r = BuildTransactionReply(reply, p);
    const int result = BeginAuditFile(p, r);
    InvertReplies(reply, p);
    return result;
}

int CFinalLogWriter::BeginAuditFile(const UserAuditFilePacket* p, BYTE* r) {
    const BYTE* b = Bytes(p);
    CAuditFileManager* registry = CAuditFileManager::GetInstance();
    const ZelkAdvConfig& adv = CConfigManager::GetInstance()->m_ZelkAdv;
    const std::string db = DbName();
    const AuditFileOwner owner{this, p->header.identity, db};
    const DWORD maxPerDb = Setting(adv.MaxOpenUploadsPerNode, kDefaultMaxOpenUploadsPerNode);
    const DWORD maxTotal = Setting(adv.MaxOpenUploads, kDefaultMaxOpenUploads);
    AuditCreateRefusal refusal = AUDIT_CREATE_OK;
    AuditFileInfo* info = registry->CreateNewAuditFileInfo(&owner, maxPerDb, maxTotal, &refusal);
    if (info == nullptr) {
        if (refusal == AUDIT_CREATE_NODE_CAP) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
                "[OnBeginUserAuditFile] Open Uploads Of DbName = %s Reached MaxOpenUploadsPerNode = %u.\n", db.c_str(),
                maxPerDb);
        } else if (refusal == AUDIT_CREATE_TOTAL_CAP) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
                "[OnBeginUserAuditFile] Open Uploads Reached MaxOpenUploads = %u.\n", maxTotal);
        } else {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[OnBeginUserAuditFile] Create New AuditFileInfo Fail.\n");
        }
        SetOutcome(r, 1, STATUS_NO_RECORD, 0);
        return 0;
    }
    // A begin that fails leaves nothing behind: its record would otherwise
    // stay registered for the life of the process.
    auto fail = [&](std::uint32_t status) {
        SetOutcome(r, 1, status, 0);
        const std::string stored = info->storedFileName;
        registry->ReleaseAuditFileInfoByFileID(info->fileId);
        if (!stored.empty()) DeleteFileA(stored.c_str());
        return 0;
    };
    std::memcpy(info->header, b, kHeaderSize);
    info->groupId = static_cast<std::int32_t>(ReadU32Net(b + 50));
    const std::string rawName = FixedText(b + 54, 100);
    std::string name;
    if (!Utf8ToGbkString(rawName.c_str(), name)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnBeginUserAuditFile] Fail To Call Utf8ToGbkString().\n");
        return fail(STATUS_OTHER);
    }
    if (!CGlobalSharedData::GetInstance()->GetUserInfoEx(db.empty() ? nullptr : db.c_str(), p->header.identity,
                                                         name.c_str(), &info->userId, info->groupId)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[WriteLog] Fail To Call GSD.GetUserInfoEx().UserGroupID = %d , RawName = %s , UserNameConverted = %s\n",
            info->groupId, rawName.c_str(), name.c_str());
        return fail(STATUS_OTHER);
    }
    info->userName = name;
    info->state = ReadU32(b + kModeOrIdOffset);
    info->timeoutSeconds = ClampIdleTimeout(ReadU32Net(b + kTimeoutOffset));
    info->lastActivity = GetTickCount();
    info->blockSize = ReadU32Net(b + kBlockSizeOffset);
    info->sourceFileSize = ReadSize(b + kSourceSizeOffset);
    info->storedDataSize = ReadSize(b + kStoredSizeOffset);
    info->clientFullPath = FixedText(b + kPathOrBlockOffset, kPathSize).substr(0, 519);
    const size_t slash = info->clientFullPath.rfind('\\');
    info->fileName = (slash == std::string::npos ? info->clientFullPath : info->clientFullPath.substr(slash + 1)).substr(0, 259);

    std::string nodeDb;
    if (CGlobalSharedData::GetInstance()->GetDbNameByMD5(p->header.identity, &nodeDb) != 1) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnBeginUserAuditFile] Fail To Call GetDbNameByMD5. Maybe Use Invalid MD5.\n");
        return fail(STATUS_OTHER);
    }
    if (nodeDb != db) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnBeginUserAuditFile] Invalid MD5 , Maybe This AuditLog Send By Another Client.\n");
        return fail(STATUS_OTHER);
    }
    // info->dbName was set to db, equal to nodeDb, when the record was made.
    if (info->state == 2) {
        // The block size bounds every block buffer of the upload.
        const DWORD maxBlock = Setting(adv.MaxBlockSize, kDefaultMaxBlockKiB) * 1024;
        if (info->blockSize == 0 || info->blockSize > maxBlock) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnBeginUserAuditFile] Invalid BlockSize = %u , Max = %u.\n",
                info->blockSize, maxBlock);
            return fail(STATUS_OTHER);
        }
        // The stored copy is sized sparsely, so the free space does not yet
        // show what open uploads will take: their sizes are reserved.
        const std::string uploadDir = CGlobalSharedData::GetInstance()->GetUploadDir();
        const auto hasRoom = [&](std::uint64_t total) {
            return HasDiskRoomFor(uploadDir, total) != 0;
        };
        // Block offsets are 32-bit: a larger copy could never be completed.
        if (info->storedDataSize > static_cast<std::int64_t>(UINT32_MAX)) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
                "[OnBeginUserAuditFile] Stored Size = %lld Above 4 GiB , Upload Refused.\n",
                static_cast<long long>(info->storedDataSize));
            return fail(STATUS_NO_SPACE);
        }
        if (info->storedDataSize < 0 ||
            !registry->ReserveDiskSpace(info, static_cast<std::uint64_t>(info->storedDataSize), hasRoom)) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnBeginUserAuditFile] Not Enough Disk Space.\n");
            return fail(STATUS_NO_SPACE);
        }
        if (!GetAndCreateAduitFileFullPathFile(info, p)) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnBeginUserAuditFile] Call GetAndCreateAduitFileFullPathFile Fail.\n");
            return fail(STATUS_OTHER);
        }
        if (!info->file->SetSize(static_cast<std::uint64_t>(info->storedDataSize))) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnBeginUserAuditFile] Call SetEndOfFile Fail Err = %u.\n",
                GetLastError());
            fail(STATUS_NO_SPACE);
            return 1;
        }
    }
    SetOutcome(r, 0, STATUS_OK, info->fileId);
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[OnBeginUserAuditFile] Begin New AuditFile ID = %u FileName = %s , FullFileName = %s.\n",
        info->fileId, info->fileName.c_str(), info->webPath.c_str());
    info->locked.store(0);
    info->active.store(1);
    return 1;
}

bool CFinalLogWriter::GetAndCreateAduitFileFullPathFile(AuditFileInfo* info, const UserAuditFilePacket* p) {
    const std::string when = LogDateTime(p);
    const std::string month = when.substr(0, 7);
    const std::string user = PathSafe(info->userName);
    const std::string dir =
        CGlobalSharedData::GetInstance()->GetUploadDir() + "/" + info->dbName + "/" + month + "/" + user;
    if (!CreateDirectoryRecursive(dir.c_str())) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[GetAndCreateAduitFileFullPathFile] Create Directory Recursive Fail Path = %s\n",
            dir.c_str());
        return false;
    }
    std::string base;
    FormatDateTimeCompact(ReadU32Net(&p->header.logDateNet), ReadU32Net(&p->header.logTimeNet), base);
    base += ".dat";
    const std::string candidate = dir + "/" + base;
    std::string path = candidate;
    unsigned count = 0;
    bool hasExtension = true;
    while (true) {
        info->file.reset(CAsyncFile::Create(path.c_str(), true, true));
        if (info->file != nullptr) break;
        if (++count > 10000) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[GetAndCreateAduitFileFullPathFile] Too Much Conflict FileName = %s\n",
                dir.c_str());
            return false;
        }
        path = WithSuffix(candidate, count, &hasExtension);
    }
    info->storedFileName = path;
    std::string web = "/UploadFiles/" + info->dbName + "/" + month + "/" + user + "/" + base;
    if (count > 0) {
        web = WithSuffix(web, count, &hasExtension);
        Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
            hasExtension ? "[GetAndCreateAduitFileFullPathFile] Has Extend, Path = %s.\n"
                         : "[GetAndCreateAduitFileFullPathFile] No Extend, Path = %s.\n",
            web.c_str());
    }
    info->webPath = web;
    info->writeEvent = CreateEvent(true, false);
    if (info->writeEvent == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[GetAndCreateAduitFileFullPathFile] Create Event Fail Err = %u.\n",
            GetLastError());
        return false;
    }
    return true;
}

int CFinalLogWriter::OnTransmissionUserAuditFile(const UserAuditFilePacket* p) {
    const DWORD id = ReadU32Net(Bytes(p) + kModeOrIdOffset);
    CAuditFileManager* registry = CAuditFileManager::GetInstance();
    AuditFileInfo* info = LockOwnAuditFile(p);
    if (info == nullptr) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnTransmissionUserAuditFile] Lock AuditFileInfo Fail.\n");
        return 0;
    }
    info->lastActivity = GetTickCount();
    if (!FinishLastAsyncWrite(info)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnTransmissionUserAuditFile] Call FinishLastAsyncWrite Fail.\n");
    }
    if (!DoWriteAuditFileData(info, p)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnTransmissionUserAuditFile] Call DoWriteAuditFileData Fail.\n");
    }
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag,
        "[OnTransmissionUserAuditFile] FileID = %u Recv Compr Size = %u , UnComprSize = %u ,  Block = %u.\n", id,
        ReadU32Net(Bytes(p) + kPackedLengthOffset), ReadU32Net(Bytes(p) + kRawLengthOffset),
        ReadU32Net(Bytes(p) + kPathOrBlockOffset));
    registry->UnLockAuditFileInfoByFileID(id);
    return 1;
}

bool CFinalLogWriter::DoWriteAuditFileData(AuditFileInfo* info, const UserAuditFilePacket* p) {
    if (info->state == 1) return true;
    const BYTE* b = Bytes(p);
    info->writePending = 0;
    const std::uint64_t offset = static_cast<std::uint64_t>(ReadU32Net(b + kPathOrBlockOffset)) * info->blockSize;
    const DWORD rawLength = ReadU32Net(b + kRawLengthOffset);
    const DWORD packedLength = ReadU32Net(b + kPackedLengthOffset);
    info->lastWrite = {0, 0};
    if (rawLength == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[DoWriteAuditFileData] No Data Need Write.FileID = %u.\n", info->fileId);
        return true;
    }
    const std::uint64_t stored = static_cast<std::uint64_t>(std::max<std::int64_t>(info->storedDataSize, 0));
    if (offset > stored || offset > 0xFFFFFFFFull) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[DoWriteAuditFileData] File Offset = %u Too Large, FileID = %u.\n",
            static_cast<DWORD>(offset), info->fileId);
        return false;
    }
    if (info->file == nullptr || info->writeEvent == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[DoWriteAuditFileData] Invalid Data Buff.\n");
        return false;
    }
    // A block longer than the block size, past the announced size, or with
    // more bytes than the packet holds is refused whole.
    const std::uint32_t available = PacketLength(p) - static_cast<std::uint32_t>(kDataOffset);
    const std::uint32_t method = ReadU32(b + kMethodOffset);
    if (rawLength > info->blockSize || offset + rawLength > stored || offset + rawLength > 0xFFFFFFFFull ||
        (method == 0 ? rawLength : packedLength) > available) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[DoWriteAuditFileData] Block Length Out Of Range. FileID = %u , UnComprSize = %u , ComprSize = %u , "
            "Packet Data = %u.\n",
            info->fileId, rawLength, packedLength, available);
        return false;
    }
    // Checked above: at most the block size, itself bounded at the begin.
    try {
        info->writeData.resize(rawLength);
    } catch (const std::bad_alloc&) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[DoWriteAuditFileData] Cannot Alloc Memory.\n");
        return false;
    }
    if (method == 0) {
        std::memcpy(info->writeData.data(), b + kDataOffset, rawLength);
    } else {
        size_t produced = 0;
        if (method != 3 || !auditcodec::Decompress(b + kDataOffset, packedLength, info->writeData.data(), rawLength,
                                                   &produced) ||
            produced != rawLength) {
            Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[DoWriteAuditFileData] Data Decompress Fail.\n");
            return false;
        }
    }
    info->overlapped = OVERLAPPED{};
    info->overlapped.Offset = static_cast<DWORD>(offset);
    info->overlapped.hEvent = info->writeEvent;
    info->lastWrite = {static_cast<DWORD>(offset), static_cast<DWORD>(offset + rawLength)};
    DWORD written = 0;
    if (info->file->WriteFile(info->writeData.data(), rawLength, &written, &info->overlapped)) {
        return UpdateAuditFileBlockInfo(info);
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        info->writePending = 1;
        return true;
    }
    Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[DoWriteAuditFileData] Write Data Fail Error = %u.\n", GetLastError());
    return false;
}

bool CFinalLogWriter::FinishLastAsyncWrite(AuditFileInfo* info) {
    if (info->writePending == 0) return true;
    info->writePending = 0;
    const DWORD ret = WaitForSingleObject(info->writeEvent, kAuditWriteWaitMs);
    if (ret == WAIT_TIMEOUT) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[FinishLastAsyncWrite] Wait Io Event TimeOut.Cancel Io.\n");
        info->file->CancelIo();
        info->lastWrite = {0, 0};
        return false;
    }
    if (ret != WAIT_OBJECT_0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[FinishLastAsyncWrite] Wait Io Event Fail WaitRet = %u Err = %u.\n",
            ret, GetLastError());
        return false;
    }
    DWORD written = 0;
    if (!info->file->GetOverlappedResult(&info->overlapped, &written, false)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[FinishLastAsyncWrite] Get Overlapped Result Fail Err = %u.\n",
            GetLastError());
        return false;
    }
    const DWORD requested = info->lastWrite.second - info->lastWrite.first;
    if (written != requested) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
            "[FinishLastAsyncWrite] Write Size Error. Request Size = %u , Real Write Size = %u.\n", requested, written);
        return false;
    }
    return UpdateAuditFileBlockInfo(info);
}

bool CFinalLogWriter::UpdateAuditFileBlockInfo(AuditFileInfo* info) {
    // Plain copies, not a structured binding: the lambda below captures start.
    const auto start = info->lastWrite.first;
    const auto end = info->lastWrite.second;
    if (start == 0 && end == 0) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[UpdateAuditFileBlockInfo] Invalid File Block Info , Ignore.\n");
        return true;
    }
    // The list stays sorted. A write is joined with the first range it
    // overlaps or touches; one that lies before that range with a gap is
    // inserted in front of it instead, so that a block written after a later
    // one never hides the blocks still missing between them.
    if (end <= start) return true;
    auto it = std::find_if(info->ranges.begin(), info->ranges.end(), [&](const auto& r) { return r.second >= start; });
    if (it == info->ranges.end()) {
        info->ranges.emplace_back(start, end);
    } else if (it->first > end) {
        info->ranges.insert(it, {start, end});
    } else {
        it->second = std::max(it->second, end);
        it->first = std::min(it->first, start);
    }
    return true;
}

int CFinalLogWriter::OnEndUserAuditFile(const UserAuditFilePacket* p, ReplyBuff* reply) {
    if (reply == nullptr) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[OnEndUserAuditFile] No Reply Buff.\n");
        return 0;
    }
    if (reply->capacity < kEndReplyCapacity) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[OnEndUserAuditFile] Buff To Small , CurSize = %u , RequireSize = %u\n",
            reply->capacity, kEndReplyCapacity);
        return 0;
    }
    reply->used = kTransactionReplySize;
    BYTE* r = BuildTransactionReply(reply, p);
    SetOutcome(r, 0, STATUS_OK, 0);
    const int result = EndAuditFile(p, reply);
    InvertReplies(reply, p);
    return result;
}

int CFinalLogWriter::EndAuditFile(const UserAuditFilePacket* p, ReplyBuff* reply) {
    BYTE* r = reply->data;
    const BYTE* b = Bytes(p);
    const DWORD id = ReadU32Net(b + kModeOrIdOffset);
    CAuditFileManager* registry = CAuditFileManager::GetInstance();
    AuditFileInfo* info = LockOwnAuditFile(p);
    if (info == nullptr) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnEndUserAuditFile] Get AuditFileInfo Fail.\n");
        SetOutcome(r, 1, STATUS_OTHER, id);
        return 0;
    }
    info->lastActivity = GetTickCount();
    if (!FinishLastAsyncWrite(info)) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnEndUserAuditFile] Call FinishLastAsyncWrite Fail.\n");
    }
    auto& ranges = info->ranges;
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<DWORD, DWORD>> joined;
    for (const auto& range : ranges) {
        if (!joined.empty() && joined.back().second >= range.first) {
            joined.back().second = std::max(joined.back().second, range.second);
        } else {
            joined.push_back(range);
        }
    }
    ranges = joined;
    const bool complete = info->state == 1 || info->sourceFileSize == 0 ||
                          (ranges.size() == 1 && static_cast<std::int64_t>(ranges[0].second - ranges[0].first) >=
                                                     info->storedDataSize);
    if (!complete) {
        DWORD begin = 0, end = 0;
        if (!registry->GetAuditFileLostBlockInfo(info, &begin, &end)) {
            // Incomplete either way: never answered as stored.
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnEndUserAuditFile] Cannot Get Lost BlockInfo.\n");
            SetOutcome(r, 1, STATUS_OTHER, id);
        } else {
            SetOutcome(r, 1, STATUS_INCOMPLETE, id);
            if (info->blockSize > 0) {
                PutU32(r + 54, STATUS_MISSING_BLOCKS);
                PutU32(r + 66, begin / info->blockSize);
                PutU32(r + 70, (end - begin) / info->blockSize);
            } else {
                PutU32(r + 54, STATUS_OTHER);
                Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnEndUserAuditFile] Invalid BlockSize.\n");
            }
        }
        registry->UnLockAuditFileInfoByFileID(id);
        return 1;
    }
    std::memcpy(info->sha1, b + kDataOffset, sizeof(info->sha1));
    if (!InsertUserAuditLog(info)) {
        SetOutcome(r, 1, STATUS_DB_FAIL, id);
        registry->UnLockAuditFileInfoByFileID(id);
        return 1;
    }
    SetOutcome(r, 0, STATUS_OK, id);
    reply->used = kEndReplyCapacity;
    BYTE* a = r + kTransactionReplySize;
    std::memset(a, 0, kAuditRecordReplySize);
    std::memcpy(a, b, kHeaderSize);
    PutU32(a + 24, kLogTypeAuditRecordReply);
    PutU32(a + 28, kAuditRecordReplySize);
    std::memcpy(a + 42, b + 50, 4);
    std::memcpy(a + 46, b + 54, 100);
    char* utf8 = nullptr;
    if (GbkToUtf8(info->clientFullPath.c_str(), &utf8) != nullptr) {
        std::memcpy(a + 146, utf8, std::min<size_t>(std::strlen(utf8), 519));
        ReleaseByteBuff(utf8);
    } else {
        std::memcpy(a + 146, info->clientFullPath.data(), std::min<size_t>(info->clientFullPath.size(), 519));
    }
    const std::uint64_t source = static_cast<std::uint64_t>(info->sourceFileSize);
    PutU32(a + 666, static_cast<std::uint32_t>(source));
    PutU32(a + 670, static_cast<std::uint32_t>(source >> 32));
    const std::string sha1 = HexUpper(info->sha1, sizeof(info->sha1));
    std::memcpy(a + 674, sha1.data(), sha1.size());

    CAuditFileManager::CloseAuditFile(info);
    if (info->state == 2) {
        BYTE stored[20];
        if (FileSha1(info->storedFileName, stored) && std::memcmp(stored, info->sha1, sizeof(stored)) != 0) {
            Log(Recorder(), LOG_LEVEL_WARN, kClassTag,
                "[OnEndUserAuditFile] AuditFileID = %u SHA-1 Of Stored File = %s Differs From Sent SHA-1 = %s. "
                "File = %s\n",
                id, HexUpper(stored, sizeof(stored)).c_str(), sha1.c_str(), info->storedFileName.c_str());
        }
    }
    registry->ReleaseAuditFileInfoByFileID(id);
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[OnEndUserAuditFile] AuditFileID = %u Record Succeed.\n", id);
    return 1;
}

int CFinalLogWriter::OnRollbackUserAuditFile(const UserAuditFilePacket* p) {
    const DWORD id = ReadU32Net(Bytes(p) + kModeOrIdOffset);
    CAuditFileManager* registry = CAuditFileManager::GetInstance();
    // Locked like the other transactions: a record another thread works on
    // is not pulled from under it.
    AuditFileInfo* info = LockOwnAuditFile(p);
    if (info == nullptr) {
        Log(Recorder(), LOG_LEVEL_WARN, kClassTag, "[OnRollbackUserAuditFile] Get AuditFileInfo Fail.\n");
        return 0;
    }
    CAuditFileManager::CloseAuditFile(info);
    if (!info->storedFileName.empty()) DeleteFileA(info->storedFileName.c_str());
    registry->ReleaseAuditFileInfoByFileID(id);
    Log(Recorder(), LOG_LEVEL_INFO, kClassTag, "[OnRollbackUserAuditFile] RollBack FileID = %u.\n", id);
    return 1;
}

AuditFileInfo* CFinalLogWriter::LockOwnAuditFile(const UserAuditFilePacket* p) {
    const AuditFileOwner requester{this, p->header.identity, DbName()};
    const DWORD id = ReadU32Net(Bytes(p) + kModeOrIdOffset);
    return CAuditFileManager::GetInstance()->LockAuditFileInfoByFileID(id, &requester);
}

void CFinalLogWriter::ReleaseOwnUploads() { CAuditFileManager::GetInstance()->ReleaseAuditFilesOfWriter(this); }

bool CFinalLogWriter::InsertUserAuditLog(AuditFileInfo* info) {
    CCSLocker lock(&m_csSubmit);
    bool ok = MakeMySqlOK() == 1;
    if (!ok) {
        Sleep(100);
        ok = MakeMySqlOK() == 1;
    }
    if (!ok) return false;
    ExecuteSql(m_pConnection, "set   names   'gbk'");
    char when[64];
    TranslateDWORDTimeToSZ(ReadU32Net(info->header + offsetof(PacketHeader, logDateNet)),
                           ReadU32Net(info->header + offsetof(PacketHeader, logTimeNet)), when, sizeof(when));
    char numbers[160];
    std::snprintf(numbers, sizeof(numbers), "%lld", static_cast<long long>(info->sourceFileSize));
    const std::string sql =
        "insert into usrfileauditlog(`user_id`, `user_name` ,`grp_id`, `filename`, `filefullpath` ,  `dcfilepath`, "
        "`filesize` ,`sha1code`, `log_time`) values(" +
        std::to_string(info->userId) + ",'" + EscapeSqlGbk(info->userName) + "', " + std::to_string(info->groupId) +
        ",'" + EscapeSqlGbk(info->fileName) + "','" + EscapeSqlGbk(info->clientFullPath) + "','" +
        EscapeSqlGbk(info->webPath) + "'," + numbers + " , '" + HexUpper(info->sha1, sizeof(info->sha1)) + "' , '" +
        when + "')";
    if (mysql_real_query(m_pConnection, sql.data(), sql.size()) != 0) {
        Log(Recorder(), LOG_LEVEL_ERROR, kClassTag, "[InsertUserAuditLog] Query Fail.Sql = %s Err = %u , ErrStr = %s\n",
            sql.c_str(), mysql_errno(m_pConnection), mysql_error(m_pConnection));
        return false;
    }
    return true;
}

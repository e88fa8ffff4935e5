// varnholt-nodesim: the upload mode.
#include "tools/nodesim/Upload.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <set>

#include "audit/Method3Codec.h"
#include "protocol/PacketFormat.h"
#include "tools/nodesim/Net.h"
#include "tools/nodesim/Replies.h"

namespace nodesim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitConnect = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

// TransactionOpType values.
constexpr std::int32_t kOpBegin = 1;
constexpr std::int32_t kOpTransmission = 2;
constexpr std::int32_t kOpEnd = 3;
constexpr std::int32_t kOpRollback = 4;

// Compression methods of a transmission.
constexpr std::uint32_t kMethodStored = 0;
constexpr std::uint32_t kMethodCompressed = 3;

// Offsets of the audit-file transaction record (from the packet start).
// Which fields a packet carries depends on its op type.
constexpr size_t kRequestWord1 = 42;     // echoed in the transaction reply: our sequence number
constexpr size_t kRequestWord2 = 46;     // echoed in the transaction reply: our op type
constexpr size_t kGroupIdNet = 50;       // begin, end
constexpr size_t kUserName = 54;         // begin, end
constexpr size_t kUserNameSize = 100;
constexpr size_t kOpType = packet::kAuditFileOpTypeOffset;
constexpr size_t kModeOrFileId = 158;    // begin: transfer mode (LE); others: file ID (network order)
constexpr size_t kClientPath = 162;      // begin
constexpr size_t kClientPathSize = 520;
constexpr size_t kBlockIndexNet = 162;   // transmission
constexpr size_t kSourceSize = 682;      // begin: high, low 32 bits, each network order
constexpr size_t kStoredSize = 690;      // begin: same encoding
constexpr size_t kBlockSizeNet = 698;    // begin
constexpr size_t kIdleTimeoutNet = 702;  // begin
constexpr size_t kMethod = 706;          // transmission, little-endian
constexpr size_t kExtraSizeNet = packet::kAuditFileExtraSizeOffset;  // transmission: uncompressed length
constexpr size_t kComprLenNet = 714;     // transmission
constexpr size_t kExtraData = 718;       // block data, or the SHA-1 of an end
constexpr size_t kSha1Size = 20;

static_assert(kOpType == 154 && kExtraSizeNet == 710);
// The record ends with a one-byte data placeholder: a packet without extra
// data is one byte longer than the fixed fields.
static_assert(packet::kUserAuditFileMinSize == kExtraData + 1);

// Largest file the service can place: block offsets are 32-bit there.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

struct Block {
    std::uint32_t index = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};

std::uint32_t NowDate() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return static_cast<std::uint32_t>(tm.tm_year + 1900) << 16 | static_cast<std::uint32_t>(tm.tm_mon + 1) << 8 |
           static_cast<std::uint32_t>(tm.tm_mday);
}

std::uint32_t NowTime() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return static_cast<std::uint32_t>(tm.tm_hour) << 16 | static_cast<std::uint32_t>(tm.tm_min) << 8 |
           static_cast<std::uint32_t>(tm.tm_sec);
}

void PutU32(Bytes& b, size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void PutU32Net(Bytes& b, size_t at, std::uint32_t v) { packet::WriteU32Net(b.data() + at, v); }
void PutU64Net(Bytes& b, size_t at, std::uint64_t v) {
    PutU32Net(b, at, static_cast<std::uint32_t>(v >> 32));
    PutU32Net(b, at + 4, static_cast<std::uint32_t>(v));
}
void PutText(Bytes& b, size_t at, size_t size, const std::string& text) {
    std::memcpy(b.data() + at, text.data(), std::min(text.size(), size - 1));
}

std::string HexText(const std::uint8_t* data, size_t size) {
    std::string s;
    char part[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(part, sizeof part, "%02X", data[i]);
        s += part;
    }
    return s;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads the whole file. False with a message in err.
bool ReadWholeFile(const std::string& path, Bytes& out, std::string& err) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        err = "cannot read '" + path + "'";
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxFileSize) {
        err = "'" + path + "' is larger than 4 GiB - 1 (block offsets are 32-bit on the service)";
        return false;
    }
    out.resize(static_cast<size_t>(size));
    in.seekg(0);
    if (!out.empty() && !in.read(reinterpret_cast<char*>(out.data()), size)) {
        err = "cannot read '" + path + "'";
        return false;
    }
    return true;
}

bool Sha1(const Bytes& data, std::uint8_t out[kSha1Size]) {
    unsigned int len = 0;
    return EVP_Digest(data.data(), data.size(), out, &len, EVP_sha1(), nullptr) == 1 && len == kSha1Size;
}

class Uploader {
public:
    Uploader(const UploadConfig& cfg, Bytes content) : cfg_(cfg), content_(std::move(content)), start_(Clock::now()) {
        date_ = cfg.fields.date.value_or(NowDate());
        time_ = cfg.fields.time.value_or(NowTime());
        clientPath_ = cfg.clientPath.empty() ? "C:\\audit\\" + BaseName(cfg.file) : cfg.clientPath;
        for (std::uint64_t off = 0; off < content_.size(); off += cfg.blockSize) {
            Block b;
            b.index = static_cast<std::uint32_t>(blocks_.size());
            b.offset = static_cast<std::uint32_t>(off);
            b.length = static_cast<std::uint32_t>(std::min<std::uint64_t>(cfg.blockSize, content_.size() - off));
            blocks_.push_back(b);
        }
    }

    // Checks the options against the file (before anything is sent).
    bool Check(std::string& err) const {
        for (const std::uint32_t k : cfg_.drop) {
            if (k >= blocks_.size()) {
                err = "--drop: block " + std::to_string(k) + " does not exist ('" + cfg_.file + "' has " +
                      std::to_string(blocks_.size()) + " block" + (blocks_.size() == 1 ? "" : "s") + ")";
                return false;
            }
        }
        return true;
    }

    int Run() {
        if (!Sha1(content_, sha1_)) {
            std::fprintf(stderr, "varnholt-nodesim: computing the SHA-1 failed\n");
            return kExitFailed;
        }
        std::string err;
        fd_ = Connect(cfg_.host, cfg_.port, cfg_.connectTimeoutMs, err);
        if (fd_ < 0) {
            std::fprintf(stderr, "varnholt-nodesim: cannot connect to %s:%u: %s\n", cfg_.host.c_str(), cfg_.port,
                         err.c_str());
            return kExitConnect;
        }
        Print("connected to " + cfg_.host + ":" + std::to_string(cfg_.port) + " as node " +
              IdentityHex(cfg_.fields.identity));
        const int rc = Transfer();
        ::close(fd_);
        char text[200];
        std::snprintf(text, sizeof text, "done: %zu packet%s, %llu bytes sent; exit status %d", packetsSent_,
                      packetsSent_ == 1 ? "" : "s", static_cast<unsigned long long>(bytesSent_), rc);
        Print(text);
        return rc;
    }

private:
    int Transfer() {
        if (cfg_.syncAdmin && !Presync(Kind::SyncAdmin, cfg_.adminSnapshot)) return failure_;
        if (cfg_.syncUser && !Presync(Kind::SyncUser, cfg_.userSnapshot)) return failure_;
        if (!Begin()) return failure_;
        if (!SendBlocks(FirstPass(), "first pass")) return failure_;
        if (cfg_.rollback) return Rollback();
        return EndAndResend();
    }

    // --- output -----------------------------------------------------------

    void Print(const std::string& text, const char* arrow = "--") const {
        const double t = std::chrono::duration<double>(Clock::now() - start_).count();
        std::printf("%s [+%.3fs] %s\n", arrow, t, text.c_str());
        std::fflush(stdout);
    }

    std::string PacketText(const char* what, const Bytes& p) const {
        char text[200];
        std::snprintf(text, sizeof text, "%s, %zu bytes (type %u, m_DataLen %zu, %s%s)", what, p.size(),
                      packet::LOG_USER_AUDIT_FILE, p.size(),
                      cfg_.fields.markKind == 2 ? packet::kMarkV2 : packet::kMarkV1,
                      cfg_.fields.invert ? ", inverted" : "");
        return text;
    }

    // --- packets ----------------------------------------------------------

    // A zeroed packet of the given op with header, request words, user and
    // file ID filled; extra bytes follow the fixed record.
    Bytes Make(std::int32_t op, size_t extra) {
        Bytes p(std::max<size_t>(packet::kUserAuditFileMinSize, kExtraData + extra), 0);
        packet::PacketHeader h{};
        std::memcpy(h.mark, cfg_.fields.markKind == 2 ? packet::kMarkV2 : packet::kMarkV1, packet::kMarkSize);
        std::memcpy(h.identity, cfg_.fields.identity, sizeof h.identity);
        h.logType = packet::LOG_USER_AUDIT_FILE;
        h.m_DataLen = static_cast<std::uint32_t>(p.size());
        packet::WriteU32Net(&h.logDateNet, date_);
        packet::WriteU32Net(&h.logTimeNet, time_);
        h.reserved = cfg_.fields.reserved;
        h.inverted = cfg_.fields.invert ? 1 : 0;
        std::memcpy(p.data(), &h, sizeof h);
        PutU32(p, kRequestWord1, ++sequence_);
        PutU32(p, kRequestWord2, static_cast<std::uint32_t>(op));
        PutU32Net(p, kGroupIdNet, cfg_.fields.group);
        PutText(p, kUserName, kUserNameSize, cfg_.fields.user);
        std::memcpy(p.data() + kOpType, &op, 4);
        if (op != kOpBegin) PutU32Net(p, kModeOrFileId, fileId_);
        return p;
    }

    // Inverts the record bytes when asked to and sends the packet.
    bool Send(Bytes& p) {
        if (cfg_.fields.invert) packet::InvertRecord(p.data(), static_cast<std::uint32_t>(p.size()));
        std::string err;
        if (!SendAll(fd_, p.data(), p.size(), 0, 0, err)) {
            std::fprintf(stderr, "varnholt-nodesim: sending to %s:%u failed: %s\n", cfg_.host.c_str(), cfg_.port,
                         err.c_str());
            failure_ = kExitConnect;
            return false;
        }
        ++packetsSent_;
        bytesSent_ += p.size();
        return true;
    }

    // --- replies ----------------------------------------------------------

    // Reads replies for up to waitMs, printing each, until one of the wanted
    // type arrives (true, in out). Other replies are printed and skipped.
    bool Await(Reply::Type wanted, Reply& out) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(cfg_.waitMs);
        std::uint8_t buf[16384];
        std::string err;
        for (;;) {
            while (parser_.Next(out, false)) {
                Print(Describe(out), "<-");
                if (out.type == wanted) return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            const long n = RecvSome(fd_, buf, sizeof buf, static_cast<int>(left), err);
            if (n > 0) {
                parser_.Feed(buf, static_cast<size_t>(n));
            } else if (n < 0) {
                Print(n == -1 ? "connection closed by the service" : "receive failed: " + err);
                closed_ = true;
                break;
            }
        }
        while (parser_.Next(out, true)) Print(Describe(out), "<-");
        return false;
    }

    // Waits for the transaction reply of a begin or an end.
    bool AwaitTransaction(const char* what, AuditTransactionInfo& info) {
        Reply r;
        if (!Await(Reply::AuditTransactionReply, r) || !DecodeAuditTransaction(r, info)) {
            if (closed_) {
                std::fprintf(stderr, "varnholt-nodesim: no reply to the %s: the connection ended\n", what);
            } else {
                std::fprintf(stderr, "varnholt-nodesim: no reply to the %s within %d ms\n", what, cfg_.waitMs);
            }
            failure_ = kExitFailed;
            return false;
        }
        if (info.request42 != sequence_) {
            Print("note: the reply echoes request " + std::to_string(info.request42) + ", the " + what + " was " +
                  std::to_string(sequence_));
        }
        return true;
    }

    // --- steps ------------------------------------------------------------

    bool Presync(Kind kind, const std::string& snapshot) {
        Built b = BuildPacket(kind, cfg_.fields, Overrides{}, snapshot);
        Print("sent " + b.summary, "->");
        std::string err;
        if (!SendAll(fd_, b.bytes.data(), b.bytes.size(), 0, 0, err)) {
            std::fprintf(stderr, "varnholt-nodesim: sending to %s:%u failed: %s\n", cfg_.host.c_str(), cfg_.port,
                         err.c_str());
            failure_ = kExitConnect;
            return false;
        }
        ++packetsSent_;
        bytesSent_ += b.bytes.size();
        Reply r;
        if (!Await(Reply::InfoSyncReply, r)) {
            if (closed_) {
                std::fprintf(stderr, "varnholt-nodesim: no reply to the %s: the connection ended\n",
                             KindName(kind).c_str());
                failure_ = kExitFailed;
                return false;
            }
            // Not fatal: the node may be synchronised already. The begin's
            // reply tells.
            Print(KindName(kind) + " not answered within " + std::to_string(cfg_.waitMs) +
                  " ms; the upload may be dropped");
        }
        return true;
    }

    bool Begin() {
        Bytes p = Make(kOpBegin, 0);
        PutU32(p, kModeOrFileId, cfg_.transferMode);
        PutText(p, kClientPath, kClientPathSize, clientPath_);
        PutU64Net(p, kSourceSize, content_.size());
        PutU64Net(p, kStoredSize, content_.size());
        PutU32Net(p, kBlockSizeNet, cfg_.blockSize);
        PutU32Net(p, kIdleTimeoutNet, cfg_.idleTimeoutS);
        char text[900];
        std::snprintf(text, sizeof text,
                      ": request %u, transfer mode %u, path \"%s\", size %zu, block size %u (%zu block%s), "
                      "time-out %u s, user \"%s\", group %d",
                      sequence_, cfg_.transferMode, clientPath_.c_str(), content_.size(), cfg_.blockSize,
                      blocks_.size(), blocks_.size() == 1 ? "" : "s", cfg_.idleTimeoutS, cfg_.fields.user.c_str(),
                      static_cast<std::int32_t>(cfg_.fields.group));
        Print("sent " + PacketText("begin", p) + text, "->");
        if (!Send(p)) return false;
        AuditTransactionInfo info;
        if (!AwaitTransaction("begin", info)) return false;
        if (info.result != 0 || info.status != 0) {
            std::fprintf(stderr, "varnholt-nodesim: the begin failed: result %u, status %u (%s)\n", info.result,
                         info.status, AuditStatusText(info.status));
            failure_ = kExitFailed;
            return false;
        }
        fileId_ = info.fileId;
        Print("file ID " + std::to_string(fileId_));
        return true;
    }

    // Block indexes of the first pass: every block in the asked order, less
    // the dropped ones.
    std::vector<std::uint32_t> FirstPass() {
        std::vector<std::uint32_t> order;
        for (const Block& b : blocks_) order.push_back(b.index);
        if (cfg_.order == BlockOrder::Reverse) {
            std::reverse(order.begin(), order.end());
        } else if (cfg_.order == BlockOrder::Random) {
            const std::uint64_t seed = cfg_.seed ? *cfg_.seed : std::random_device{}();
            Print("block order random, seed " + std::to_string(seed));
            // Fisher-Yates with the engine's raw output: the same seed gives
            // the same order with any standard library.
            std::mt19937_64 gen(seed);
            for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[gen() % i]);
        }
        const std::set<std::uint32_t> drop(cfg_.drop.begin(), cfg_.drop.end());
        std::erase_if(order, [&](std::uint32_t k) { return drop.count(k) != 0; });
        return order;
    }

    // Sends the transmissions of the given blocks.
    bool SendBlocks(const std::vector<std::uint32_t>& indexes, const char* pass) {
        size_t compressed = 0;
        std::uint64_t data = 0, wire = 0;
        for (const std::uint32_t k : indexes) {
            const Block& b = blocks_[k];
            const std::uint8_t* raw = content_.data() + b.offset;
            std::vector<std::uint8_t> packed;
            if (cfg_.compress) packed = auditcodec::Compress(raw, b.length);
            // A block that does not shrink goes stored, as a node sends it.
            const bool useCompressed = cfg_.compress && packed.size() < b.length;
            const std::uint32_t sentLength = useCompressed ? static_cast<std::uint32_t>(packed.size()) : b.length;
            Bytes p = Make(kOpTransmission, sentLength);
            PutU32Net(p, kBlockIndexNet, b.index);
            PutU32(p, kMethod, useCompressed ? kMethodCompressed : kMethodStored);
            PutU32Net(p, kExtraSizeNet, b.length);
            PutU32Net(p, kComprLenNet, sentLength);
            if (sentLength > 0) std::memcpy(p.data() + kExtraData, useCompressed ? packed.data() : raw, sentLength);
            if (!cfg_.quiet) {
                char text[200];
                std::snprintf(text, sizeof text, ": block %u of %zu at %u, %u bytes, %s", b.index, blocks_.size(),
                              b.offset, b.length, useCompressed ? "method 3, " : "method 0 (stored)");
                std::string line = "sent " + PacketText("transmission", p) + text;
                if (useCompressed) line += std::to_string(sentLength) + " compressed";
                Print(line, "->");
            }
            if (!Send(p)) return false;
            compressed += useCompressed ? 1 : 0;
            data += b.length;
            wire += p.size();
        }
        char text[300];
        std::snprintf(text, sizeof text,
                      "%s: %zu of %zu block%s sent (%zu compressed, %zu stored), %llu bytes of data in %llu packet "
                      "bytes",
                      pass, indexes.size(), blocks_.size(), blocks_.size() == 1 ? "" : "s", compressed,
                      indexes.size() - compressed, static_cast<unsigned long long>(data),
                      static_cast<unsigned long long>(wire));
        Print(text);
        return true;
    }

    bool SendEnd() {
        Bytes p = Make(kOpEnd, kSha1Size);
        PutU32Net(p, kExtraSizeNet, kSha1Size);
        std::memcpy(p.data() + kExtraData, sha1_, kSha1Size);
        Print("sent " + PacketText("end", p) + ": request " + std::to_string(sequence_) + ", file ID " +
                  std::to_string(fileId_) + ", sha1 " + HexText(sha1_, kSha1Size),
              "->");
        return Send(p);
    }

    // Ends the transaction; on status 5 sends the reported blocks and ends
    // again, up to the retry limit.
    int EndAndResend() {
        for (int attempt = 0;; ++attempt) {
            if (!SendEnd()) return failure_;
            AuditTransactionInfo info;
            if (!AwaitTransaction("end", info)) return failure_;
            if (info.result == 0 && info.status == 0) return Completed();
            if (info.status != 5) {
                std::fprintf(stderr, "varnholt-nodesim: the end failed: result %u, status %u (%s)\n", info.result,
                             info.status, AuditStatusText(info.status));
                return kExitFailed;
            }
            if (attempt >= cfg_.retries) {
                std::fprintf(stderr, "varnholt-nodesim: blocks still missing after %d retr%s\n", cfg_.retries,
                             cfg_.retries == 1 ? "y" : "ies");
                return kExitFailed;
            }
            std::vector<std::uint32_t> missing;
            const std::uint64_t end = std::min<std::uint64_t>(
                static_cast<std::uint64_t>(info.firstMissing) + info.missingCount, blocks_.size());
            for (std::uint64_t k = info.firstMissing; k < end; ++k) missing.push_back(static_cast<std::uint32_t>(k));
            if (missing.empty()) {
                std::fprintf(stderr, "varnholt-nodesim: the end reports blocks %u..+%u missing; the file has %zu\n",
                             info.firstMissing, info.missingCount, blocks_.size());
                return kExitFailed;
            }
            if (!SendBlocks(missing, ("resend " + std::to_string(attempt + 1)).c_str())) return failure_;
        }
    }

    // The end succeeded: the audit record reply follows in the same write.
    int Completed() {
        Reply r;
        AuditRecordInfo rec;
        if (!Await(Reply::AuditRecordReply, r) || !DecodeAuditRecord(r, rec)) {
            std::fprintf(stderr, "varnholt-nodesim: the end succeeded but no audit record reply arrived\n");
            return kExitFailed;
        }
        const std::string sha1 = HexText(sha1_, kSha1Size);
        Print("upload complete: file ID " + std::to_string(fileId_) + ", stored sha1 " + rec.sha1Text +
              (rec.sha1Text == sha1 ? " (as sent)" : " (differs from the sha1 sent)"));
        return kExitOk;
    }

    // Abandons the file; the service does not answer a rollback, so a
    // keep-alive after it shows that it has been handled.
    int Rollback() {
        Bytes p = Make(kOpRollback, 0);
        Print("sent " + PacketText("rollback", p) + ": file ID " + std::to_string(fileId_), "->");
        if (!Send(p)) return failure_;
        Built ka = BuildPacket(Kind::KeepAlive, cfg_.fields, Overrides{});
        Print("sent " + ka.summary, "->");
        std::string err;
        if (!SendAll(fd_, ka.bytes.data(), ka.bytes.size(), 0, 0, err)) return kExitOk;
        ++packetsSent_;
        bytesSent_ += ka.bytes.size();
        Reply r;
        if (!Await(Reply::KeepAliveReply, r)) Print("the keep-alive after the rollback was not answered");
        return kExitOk;
    }

    const UploadConfig& cfg_;
    const Bytes content_;
    std::vector<Block> blocks_;
    std::uint8_t sha1_[kSha1Size] = {};
    std::string clientPath_;
    std::uint32_t date_ = 0;
    std::uint32_t time_ = 0;
    Clock::time_point start_;
    int fd_ = -1;
    ReplyParser parser_;
    std::uint32_t sequence_ = 0;
    std::uint32_t fileId_ = 0;
    int failure_ = kExitFailed;  // exit code of the step that failed
    bool closed_ = false;         // the service ended the connection
    size_t packetsSent_ = 0;
    std::uint64_t bytesSent_ = 0;
};

}  // namespace

int RunUpload(const UploadConfig& cfg) {
    Bytes content;
    std::string err;
    if (!ReadWholeFile(cfg.file, content, err)) {
        std::fprintf(stderr, "varnholt-nodesim: upload: %s\n", err.c_str());
        return kExitUsage;
    }
    Uploader u(cfg, std::move(content));
    if (!u.Check(err)) {
        std::fprintf(stderr, "varnholt-nodesim: %s\n", err.c_str());
        return kExitUsage;
    }
    return u.Run();
}

}  // namespace nodesim

// varnholt-nodesim: the upload mode.
//
// Uploads one local file the way a gateway node uploads a user's audit file:
// a begin transaction announces it and is answered with a file ID, the
// transmissions carry its blocks (stored or compressed, in any order, some
// left out on purpose), and an end transaction with the file's SHA-1 either
// completes it (answered with a transaction reply and an audit record reply)
// or is answered with the first range of blocks still missing, which are sent
// again before the next end. A rollback abandons the file instead.
//
// Everything runs on the calling thread over one connection; the replies are
// read synchronously after each begin and end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/nodesim/Packets.h"

namespace nodesim {

enum class BlockOrder { InOrder, Reverse, Random };

struct UploadConfig {
    std::string host;
    std::uint16_t port = 0;
    int connectTimeoutMs = 5000;
    int waitMs = 10000;  // for each reply (snapshots, begin, end)
    bool quiet = false;  // no line per block

    Fields fields;  // header, user name and group, inversion

    // Snapshots sent before the begin, each awaited.
    bool syncAdmin = false;
    bool syncUser = true;
    std::string adminSnapshot;
    std::string userSnapshot;

    std::string file;        // the local file
    std::string clientPath;  // empty: C:\audit\<base name of file>
    std::uint32_t transferMode = 2;
    std::uint32_t blockSize = 65536;
    std::uint32_t idleTimeoutS = 300;
    bool compress = false;
    BlockOrder order = BlockOrder::InOrder;
    std::optional<std::uint64_t> seed;  // random order; unset: a fresh seed, printed
    std::vector<std::uint32_t> drop;    // block indexes left out of the first pass
    int retries = 3;                    // further ends after a status 5
    bool rollback = false;              // op 4 after the transmissions instead of the end
};

// Runs the upload and prints every step and reply. Returns the exit code:
// 0 the end was answered with success and the audit record reply arrived (or
// the rollback was sent), 1 connection or send failure, 2 the file cannot be
// read or does not fit the options, 3 a failure status or a missing reply.
int RunUpload(const UploadConfig& cfg);

}  // namespace nodesim

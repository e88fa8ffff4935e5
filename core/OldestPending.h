// When the oldest log not yet in MySQL came, per node database: each place
// that holds logs on their way (merge buffers, SQL caches, data files, the
// spool) adds its own times, and the info query reports the oldest per node.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Database name -> Unix seconds of its oldest pending log.
using OldestPendingMap = std::map<std::string, std::int64_t>;

// Keeps the earlier of the time already noted for database and since; a
// time of 0 or below (nothing pending) or a database without a name is left
// out.
inline void NoteOldestPending(OldestPendingMap* oldest, const std::string& database, std::int64_t since) {
    if (since <= 0 || database.empty()) return;
    const auto [it, added] = oldest->try_emplace(database, since);
    if (!added && since < it->second) it->second = since;
}

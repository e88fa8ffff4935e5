// The node intake of the service, run in-process for the tests: the
// managers it needs, a listener on the given port, and short reaper periods.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class CDataCenterListenTask;

namespace testintake {

// Sets Zelk.conf's port, brings up the managers and starts a listener; waits
// until it accepts connections. The configuration must already point at the
// test database (testdb::ConfigureService).
CDataCenterListenTask* Start(std::uint16_t port);
// Stops the listener (never freeing it while its thread runs), waits for the
// node connections to be reaped and shuts the managers down.
void Stop(CDataCenterListenTask* listener);

// Makes every log held in merge buffers and every data file written so far
// due: the harness's switch thread and importers (100 ms periods) then load
// them.
void RotateDataFiles();
// True once no data file of the database waits any more: every line written
// to one is in its table.
bool DataFilesImported(const std::string& database);

// Writes one key of a configuration file and reloads the file.
void SetKey(const char* file, const char* section, const char* key, const std::string& value);

// A user snapshot with user alice (id 1) in group 10.
extern const char kUserSnapshot[];

// Sends a user snapshot of the node on peer; true when its reply came.
bool SyncUsers(int peer, const std::uint8_t identity[16], const std::string& content = kUserSnapshot);

// The intake of one test suite: a main database and a node database (named
// after prefix) with the node registered, the service configured for them
// and a listener on a free port.
struct Service {
    // A second node, when given, shares the node database. prepare, when
    // given, runs before the listener starts (and loads the node list).
    void Open(const std::string& prefix, const char* nodeMd5, const char* secondNodeMd5 = nullptr,
              const std::function<void()>& prepare = {});
    void Close();

    std::string mainDb;
    std::string nodeDb;
    std::uint16_t port = 0;
    CDataCenterListenTask* listener = nullptr;
};

}  // namespace testintake

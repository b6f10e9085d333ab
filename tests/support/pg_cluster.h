// A private PostgreSQL server for tests: initdb in a temporary directory, a free loopback
// port, trust authentication, stopped and removed when the object goes.
//
//   static PgCluster* pg = PgCluster::shared();   // one per test binary, started on first use
//   if (!pg) GTEST_FAIL() << PgCluster::shared_error();
//   std::string dsn = pg->dsn(pg->fresh_database());
//
// The server runs as the "postgres" system user when the tests run as root (initdb and
// postgres refuse root), from the newest /usr/lib/postgresql/*/bin. A watchdog process
// stops and removes the cluster if the test binary dies without doing so, so a crash never
// leaves a server behind. The data directory is a copy of a template made once per machine
// and server version under the temporary directory (tolvane-pgtemplate-UID-VERSION), kept
// between runs. Limits: made for tests (fsync off); not thread-safe except
// dsn() and fresh_database().
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>

namespace tolvane {

// A connection string to a loopback port nobody listens on (bound, then released): every
// connection to it is refused, as to a database that is away.
std::string pg_unreachable_dsn();

class PgCluster {
  public:
    // Makes and starts a cluster; null with why when it cannot.
    static std::unique_ptr<PgCluster> start(std::string& why);
    // The one cluster of this test binary (started on first call, stopped at exit); null
    // when it could not be started, with the reason in shared_error().
    static PgCluster* shared();
    static const std::string& shared_error();

    PgCluster() = default;  // use start() or shared()
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // A libpq connection string for `database` (default "postgres"), over TCP on loopback.
    std::string dsn(const std::string& database = "postgres") const;
    // Creates an empty database with a new name and returns the name (empty on failure).
    std::string fresh_database();
    int port() const { return port_; }
    const std::string& dir() const { return dir_; }

    // Stops the server at once (as a crash would) and starts it again on the same port.
    [[nodiscard]] bool stop_now(std::string& why);
    [[nodiscard]] bool start_again(std::string& why);

  private:
    bool init(std::string& why);
    bool run(const std::string& command, std::string& why) const;
    bool launch(std::string& why);
    bool make_data(std::string& why);
    void destroy();

    std::string bin_;   // directory of initdb, pg_ctl, postgres
    std::string dir_;   // temporary directory (data/, the socket, the log)
    std::string user_;  // "postgres" when running as root, else empty
    int port_ = 0;
    bool running_ = false;
    pid_t watchdog_ = -1;
    int watchdog_pipe_ = -1;  // closing it tells the watchdog to clean up
    std::atomic<int> next_db_{0};
};

}  // namespace tolvane

// A test on a database of its own in the test binary's private server (pg_cluster.h):
// dsn_ names the database and conn_ is connected to it; with_schema() gives it the
// store's tables.
//
//   class MyTest : public PgFreshTest {
//       void SetUp() override { PgFreshTest::SetUp(); with_schema(); }
//   };
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "store/pg.h"
#include "store/pg_schema.h"
#include "support/pg_cluster.h"
#include "support/status_check.h"

namespace tolvane {

class PgFreshTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pg_ = PgCluster::shared();
        ASSERT_NE(pg_, nullptr) << PgCluster::shared_error();
        dsn_ = pg_->dsn(pg_->fresh_database());
        Result<std::unique_ptr<PgConn>> opened = PgConn::open(dsn_);
        ASSERT_TRUE(succeeded(opened));
        conn_ = std::move(*opened);
    }
    // Brings the database to the store's schema (nothing when SetUp failed).
    void with_schema() {
        if (!conn_) return;
        Result<int> version = pg_schema_upgrade(*conn_);
        ASSERT_TRUE(version) << version.reason();
    }
    PgCluster* pg_ = nullptr;
    std::string dsn_;
    std::unique_ptr<PgConn> conn_;
};

}  // namespace tolvane

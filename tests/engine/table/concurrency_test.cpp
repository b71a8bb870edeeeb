// Four writers and a walker on three shared tables for a few seconds, the writers also
// editing and deleting records the others stand on (the long run is
// bench/concurrency_bench): nothing posted is lost, nothing torn is read, and the tables
// are sound afterwards.
#include <gtest/gtest.h>

#include "tests/support/concurrent_users.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

TEST(ConcurrentUsersTest, EveryPostedChangeIsThereAndTheTablesAreSound) {
  test::TempDir dir;
  test::TConcurrentOptions o;
  o.folder = dir / "shared";
  o.seconds = 3;
  test::TConcurrentResult r = test::RunConcurrentUsers(o);
  for (const std::string& p : r.problems) ADD_FAILURE() << p;
  EXPECT_GT(r.posted, 100);
  EXPECT_GT(r.walked, 100);
  // Refused duplicates were posted again corrected.
  EXPECT_GT(r.corrected, 0);
  std::cout << r.posted << " changes posted, " << r.refused << " refused, " << r.gone
            << " found their record deleted by another writer, " << r.corrected
            << " refused as duplicates and posted corrected, " << r.walked << " records walked, " << r.raced
            << " blobs read after their record changed\n";
}

}  // namespace
}  // namespace ovrin

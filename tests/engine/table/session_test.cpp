#include <gtest/gtest.h>

#include "engine/data/table_create.h"
#include "engine/table/table.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

TTableSpec Simple() {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}};
  def.Primary.Fields = {"ID"};
  return def;
}

TEST(SessionTest, OpeningATableByFolderMakesAndFreesATemporaryDatabase) {
  test::TempDir dir;
  CreateTable(dir / "a", Simple());
  CreateTable(dir / "b", Simple());
  TOvrinSession& def = Sessions().Default();
  EXPECT_EQ(def.SessionName(), "Default");
  EXPECT_TRUE(def.IsDefault());
  TOvrinTable a, b;
  a.SetDatabaseName(dir.Path());
  a.SetTableName("a");
  b.SetDatabaseName(dir.Path());
  b.SetTableName("b");
  a.Open();
  EXPECT_TRUE(def.Active());
  EXPECT_TRUE(engine::IsStarted());
  TOvrinDatabase* db = def.FindDatabase(dir.Path());
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(db->Temporary());
  EXPECT_TRUE(db->Connected());
  EXPECT_EQ(db->ReferenceCount(), 1);
  EXPECT_EQ(db->Directory(), dir.Path());
  b.Open();
  EXPECT_EQ(def.FindDatabase(dir.Path()), db);
  EXPECT_EQ(db->ReferenceCount(), 2);
  a.Close();
  EXPECT_EQ(db->ReferenceCount(), 1);
  b.Close();
  EXPECT_EQ(def.FindDatabase(dir.Path()), nullptr);  // freed with its last table
}

TEST(SessionTest, NamingRules) {
  EXPECT_EQ(test::MessageOf([] { Sessions().GetSession("nobody"); }), "Session name nobody is not valid.");
  EXPECT_EQ(Sessions().FindSession(""), &Sessions().Default());
  EXPECT_EQ(Sessions().FindSession("default"), &Sessions().Default());
  TOvrinSession second("Second");
  EXPECT_EQ(test::MessageOf([] { TOvrinSession again("second"); }), "Session name second already exists.");
  TOvrinDatabase db(&second);
  EXPECT_EQ(test::MessageOf([&] { db.SetDatabaseName("/x/y"); }), "Database name /x/y is not valid.");
  EXPECT_EQ(test::MessageOf([&] { db.Open(); }), "Database name is missing.");
  db.SetDatabaseName("plain");
  db.SetSessionName("Second");
  db.Open();
  EXPECT_TRUE(second.Active());
  EXPECT_EQ(test::MessageOf([&] { db.SetDirectory("/tmp"); }), "Cannot perform this operation on an open database.");
  EXPECT_EQ(test::MessageOf([&] { second.SetSessionName("Third"); }), "Cannot perform this operation on an active session.");
  second.SetPrivateDir("/tmp/lower");
  EXPECT_EQ(second.PrivateDir(), "/TMP/LOWER");
  EXPECT_EQ(db.EngineVersion(), "1.19");
  EXPECT_EQ(second.EngineVersion(), "1.19");
  db.Close();
  second.SetActive(false);
  EXPECT_TRUE(engine::IsStarted() || !Sessions().Default().Active());
}

TEST(SessionTest, PasswordsThroughTheSession) {
  test::TempDir dir;
  TTableSpec def = Simple();
  def.Password = "Secret";
  CreateTable(dir / "locked", def);
  TOvrinTable t;
  t.SetDatabaseName(dir.Path());
  t.SetTableName("locked");
  EXPECT_EQ(test::CodeOf([&] { t.Open(); }), 10498);  // no handler: the answer is false
  int asked = 0;
  Sessions().Default().OnPassword = [&](TOvrinSession& s, bool& go) {
    ++asked;
    s.AddPassword("Secret");
    go = true;
  };
  t.Open();
  EXPECT_EQ(asked, 1);
  t.Close();
  t.Open();  // the password is in the list now
  EXPECT_EQ(asked, 1);
  t.Close();
  Sessions().Default().OnPassword = nullptr;
  Sessions().Default().RemoveAllPasswords();
}

}  // namespace
}  // namespace ovrin

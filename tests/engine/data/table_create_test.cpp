#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/engine_error.h"
#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/base/file_session.h"
#include "engine/data/table_create.h"
#include "engine/index/index_format.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

using test::CodeOf;

using test::TempDir;
namespace fs = std::filesystem;


TTableSpec Base() {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 40},
                TFieldSpec{"NOTE", fldBlob, subMemo}, TFieldSpec{"N", fldInteger}};
  def.Primary.Fields = {"ID"};
  return def;
}

TIndexSpec Named(const std::string& name, std::vector<std::string> fields) {
  TIndexSpec i;
  i.Name = name;
  i.Fields = std::move(fields);
  return i;
}

TEST(CreateTableTest, WritesThreeFilesWithExtensionsReplaced) {
  TempDir dir;
  CreateTable(dir / "sample.xyz", Base());
  EXPECT_TRUE(fs::exists(dir / "sample.DAT"));
  EXPECT_TRUE(fs::exists(dir / "sample.IDX"));
  EXPECT_EQ(fs::file_size(dir / "sample.BLB"), 512u);
  EXPECT_FALSE(fs::exists(dir / "sample.xyz"));
  EXPECT_EQ(DataFileName(" /a.b/t.x "), "/a.b/t.DAT");
  EXPECT_EQ(IndexFileName("/a.b/t"), "/a.b/t.IDX");
}

TEST(CreateTableTest, RefusesAnExistingTableUnlessReplacing) {
  TempDir dir;
  CreateTable(dir / "t", Base());
  EXPECT_THROW(CreateTable(dir / "T", Base()), EDatabaseError);  // another letter case
  TTableSpec noBlobs = Base();
  noBlobs.Fields.erase(noBlobs.Fields.begin() + 2);
  TCreateOptions replace;
  replace.Replace = true;
  CreateTable(dir / "t", noBlobs, replace);
  EXPECT_FALSE(fs::exists(dir / "t.BLB"));  // a stale blob file does not stay behind
  EXPECT_EQ(fs::file_size(dir / "t.DAT"), 127u + 3 * 768);
}

TEST(CreateTableTest, BrokenRulesLeaveNoFilesBehind) {
  TempDir dir;
  auto attempt = [&](auto change, std::string* text = nullptr) {
    TTableSpec def = Base();
    change(def);
    uint16_t code = CodeOf([&] { CreateTable(dir / "bad", def); }, text);
    EXPECT_FALSE(fs::exists(dir / "bad.DAT"));
    EXPECT_FALSE(fs::exists(dir / "bad.IDX"));
    EXPECT_FALSE(fs::exists(dir / "bad.BLB"));
    return code;
  };
  std::string text;
  EXPECT_EQ(attempt([](TTableSpec& d) { d.Secondary = {Named("", {"NAME"})}; }), 10010);
  EXPECT_EQ(attempt([](TTableSpec& d) { d.Secondary = {Named("A", {"NAME"}), Named("a", {"N"})}; }, &text), 10027);
  EXPECT_EQ(text, "The secondary index a already exists for data file " + dir / "bad.DAT");
  EXPECT_EQ(attempt([](TTableSpec& d) { d.Secondary = {Named("Sys Deleted", {"N"})}; }), 10022);
  EXPECT_EQ(attempt([](TTableSpec& d) { d.Secondary = {Named("X", {"MISSING"})}; }, &text), 10023);
  EXPECT_EQ(text, "Invalid field number MISSING specified in index X for data file " + dir / "bad.DAT");
  EXPECT_EQ(attempt([](TTableSpec& d) { d.Secondary = {Named("X", {"NOTE"})}; }), 12292);
  EXPECT_EQ(attempt([](TTableSpec& d) { d.Secondary = {Named("X", {})}; }), 9487);
  EXPECT_EQ(attempt([](TTableSpec& d) {
              for (int i = 0; i < 31; ++i) d.Secondary.push_back(Named("I" + std::to_string(i), {"N"}));
            }),
            9487);
  EXPECT_EQ(attempt([](TTableSpec& d) { d.LocaleLanguage = 0x7777; }), 15878);
  EXPECT_EQ(attempt([](TTableSpec& d) { d.Password = std::string(16, 'p'); }), 10015);
  EXPECT_EQ(attempt([](TTableSpec& d) { d.BlobBlockSize = 10; }), 9498);
  EXPECT_EQ(attempt([](TTableSpec& d) { d.Fields.push_back({"name", fldInteger}); }), 10038);
  EXPECT_THROW(attempt([](TTableSpec& d) { d.Secondary = {Named("X", {"N"})}; d.Secondary[0].Compression = 4; }),
               EDatabaseError);
}

TEST(CreateTableTest, RefusesKeysTooLongForThreeInteriorEntries) {
  TempDir dir;
  TTableSpec def;
  // Five strings of 250 give 5 * 252 = 1,260 bytes: fine; six give 1,512: too long.
  for (int i = 0; i < 6; ++i) def.Fields.push_back({"S" + std::to_string(i), fldString, subNone, 250});
  def.Primary.Fields = {"S0", "S1", "S2", "S3", "S4"};
  CreateTable(dir / "ok", def);
  def.Primary.Fields.push_back("S5");
  std::string text;
  EXPECT_EQ(CodeOf([&] { CreateTable(dir / "long", def); }, &text), 10026);
  EXPECT_EQ(text, "Invalid key size specified in index Primary for data file " + dir / "long.DAT");
}

TEST(CreateTableTest, OpensAgainThroughTheOpenTimeChecks) {
  TempDir dir;
  TTableSpec def = Base();
  def.BlobBlockSize = 4096;
  def.Secondary = {Named("BYNAME", {"NAME", "N"})};
  def.LocaleLanguage = 0x0407;
  CreateTable(dir / "t", def);
  TFileHandler data;
  data.SetFileName(dir / "t.DAT");
  data.Open();
  TTableImage image = ReadTableImage(data, [](const std::string&) { return false; });
  EXPECT_EQ(image.header.BlobBlockSize(), 4096);
  EXPECT_EQ(image.header.BlobFieldCount(), 1);
  EXPECT_EQ(image.header.LocaleLanguage(), 0x0407);
  TFileHandler index;
  index.SetFileName(dir / "t.IDX");
  index.Open();
  TIndexHeader header;
  ReadIndexHeader(index, header, false);
  ValidateIndexHeader(header, index.Size(), index.FileName());
  EXPECT_EQ(header.Slot(1).Name(), "BYNAME");
  EXPECT_EQ(header.Slot(1).KeyLength(), 42 + 5 + 4);
  EXPECT_EQ(header.SecondaryCount(), 1);
  EXPECT_FALSE(header.NoPrimary());
}

TEST(CreateTableTest, TablesWithoutPrimaryIndexAndInMemory) {
  engine::StartEngine();
  TTableSpec def = Base();
  def.Primary = TIndexSpec{};
  CreateTable("mem", def, TCreateOptions{false, true});
  TFileHandler index;
  index.SetInMemory(true);
  index.SetFileName("mem.IDX");
  index.Open();
  TIndexHeader header;
  ReadIndexHeader(index, header, false);
  EXPECT_TRUE(header.NoPrimary());
  EXPECT_EQ(header.Slot(0).KeyLength(), 0);
  index.Close();
  EXPECT_THROW(CreateTable("mem", def, TCreateOptions{false, true}), EDatabaseError);
  engine::StopEngine();
}

}  // namespace
}  // namespace ovrin

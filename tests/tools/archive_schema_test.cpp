#include <gtest/gtest.h>

#include <filesystem>

#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/blob/blob_format.h"
#include "engine/index/index_format.h"
#include "tests/support/temp_dir.h"
#include "tools/archive_schema.h"

namespace hollard {
namespace {

using namespace ovrin;
namespace fs = std::filesystem;

TEST(ArchiveSchemaTest, NewLayoutArchivePassesOpenTimeValidation) {
  test::TempDir dir;
  CreateNewLayoutArchive(dir.Path());
  ASSERT_EQ(NewLayoutTables().size(), 11u);
  for (const TArchiveTable& t : NewLayoutTables()) {
    SCOPED_TRACE(t.name);
    TFileHandler data;
    data.SetFileName(dir / (t.name + ".DAT"));
    data.Open();
    TTableImage image = ReadTableImage(data, [](const std::string&) { return false; });
    EXPECT_EQ(image.header.NextRecordNumber(), 1);
    EXPECT_EQ(image.descriptors.size(), t.def.Fields.size());
    TFileHandler index;
    index.SetFileName(dir / (t.name + ".IDX"));
    index.Open();
    TIndexHeader header;
    ReadIndexHeader(index, header, false);
    ValidateIndexHeader(header, index.Size(), index.FileName());
    EXPECT_EQ(header.NoPrimary(), t.def.Primary.Fields.empty());
    EXPECT_EQ(header.SecondaryCount(), t.def.Secondary.size());
    bool hasBlobs = image.header.BlobFieldCount() != 0;
    EXPECT_EQ(fs::exists(dir / (t.name + ".BLB")), hasBlobs);
    EXPECT_EQ(image.header.BlobBlockSize(), t.name == "blobs" ? 4096 : 512);
  }
}

TEST(ArchiveSchemaTest, KeyLengthsOfTheWidestIndexes) {
  test::TempDir dir;
  CreateNewLayoutArchive(dir.Path());
  auto header = [&](const std::string& table) {
    TFileHandler index;
    index.SetFileName(dir / (table + ".IDX"));
    index.Open();
    TIndexHeader h;
    ReadIndexHeader(index, h, false);
    return h;
  };
  TIndexHeader modules = header("modules");
  EXPECT_EQ(modules.Slot(2).Name(), "PATHNAME");
  EXPECT_EQ(modules.Slot(2).KeyLength(), 358);  // 252 + 102 + identifier
  EXPECT_EQ(modules.Slot(2).Compression(), idxfmt::cmpTrailing);
  EXPECT_EQ(modules.Slot(1).KeyLength(), 106);
  TIndexHeader projects = header("projects");
  EXPECT_EQ(projects.Slot(1).KeyLength(), 256);
  EXPECT_TRUE(projects.Slot(1).CaseInsensitive());
  TIndexHeader vcslog = header("vcslog");
  EXPECT_TRUE(vcslog.Slot(1).Descending());
  EXPECT_EQ(header("users").Slot(0).KeyLength(), 5);
  EXPECT_TRUE(header("pjmodule").NoPrimary());
  // Creating again refuses; replacing works.
  EXPECT_THROW(CreateNewLayoutArchive(dir.Path()), EDatabaseError);
  CreateNewLayoutArchive(dir.Path(), true);
}

}  // namespace
}  // namespace hollard

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/engine_error.h"
#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/base/file_session.h"
#include "engine/data/table_create.h"
#include "engine/format/table_format.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

using test::CodeOf;

using test::TempDir;

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}


TTableSpec SmallTable() {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 20},
                TFieldSpec{"AMOUNT", fldBcd, subNone, 0, 2}, TFieldSpec{"WHEN", fldTimeStamp}};
  def.Primary.Fields = {"ID"};
  return def;
}

TTableImage Open(const std::string& path, std::function<bool(const std::string&)> known = nullptr) {
  TFileHandler file;
  file.SetFileName(path);
  file.Open();
  return ReadTableImage(file, known ? known : [](const std::string&) { return false; });
}

TEST(TableFormatTest, EmptyTableIsHeaderAndDescriptors) {
  TempDir dir;
  CreateTable(dir / "t", SmallTable());
  std::vector<uint8_t> bytes = ReadAll(dir / "t.DAT");
  ASSERT_EQ(bytes.size(), 127u + 4 * 768);
  TTableHeader h;
  std::copy(bytes.begin(), bytes.begin() + 127, h.bytes.begin());
  EXPECT_EQ(h.ChangeCounter(), 1);
  EXPECT_EQ(h.Version(), 3);
  EXPECT_EQ(h.NextRecordNumber(), 1);
  EXPECT_EQ(h.FreeChainHead(), 0);
  EXPECT_EQ(h.LastAutoInc(), 0);
  EXPECT_EQ(h.FieldCount(), 4);
  EXPECT_EQ(h.BlobFieldCount(), 0);
  EXPECT_EQ(h.BlobBlockSizeRaw(), 0);
  // Prefix 9, NAME 1 + 21, AMOUNT 1 + 8, WHEN 1 + 8; the autoincrement field takes none.
  EXPECT_EQ(h.RecordSize(), 9 + 22 + 9 + 9);
  EXPECT_EQ(bytes[113], 1);  // written because it changed
  EXPECT_FALSE(h.Encrypted());
  // Descriptor 2 (NAME) byte by byte.
  const uint8_t* d = &bytes[127 + 768];
  EXPECT_EQ(LoadLEI16(d + 0), 2);
  EXPECT_EQ(d[2], 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 3), 4), "NAME");
  EXPECT_EQ(d[84], fldString);
  EXPECT_EQ(d[86], 20);
  EXPECT_EQ(d[88], 21);
  EXPECT_EQ(LoadLE16(d + 90), 9);
  // The autoincrement field sits at 5; AMOUNT keeps its decimals.
  EXPECT_EQ(LoadLE16(&bytes[127 + 90]), 5);
  EXPECT_EQ(bytes[127 + 2 * 768 + 87], 2);
  EXPECT_EQ(bytes[127 + 2 * 768 + 89], 2);
  EXPECT_EQ(LoadLE16(&bytes[127 + 2 * 768 + 90]), 31);
  TTableImage image = Open(dir / "t.DAT");
  EXPECT_EQ(image.descriptors.size(), 4u);
  EXPECT_EQ(image.descriptors[3].Name(), "WHEN");
}

TEST(TableFormatTest, FieldDefinitionRules) {
  uint16_t size, calc;
  auto define = [&](std::vector<TFieldSpec> fields) {
    return CodeOf([&] { DefineFields(fields, 0, 0, "x.DAT", &size, &calc); });
  };
  EXPECT_EQ(define({{"", fldInteger}}), 10038);
  EXPECT_EQ(define({{"1ST", fldInteger}}), 10038);
  EXPECT_EQ(define({{"A", fldInteger}, {" a ", fldString, 0, 5}}), 10038);
  EXPECT_EQ(define({{"\xC4rger", fldInteger}}), 0);  // bytes 129..254 start a name
  EXPECT_EQ(define({{"A", fldUndefined}}), 10000);
  EXPECT_EQ(define({{"A", fldString, 0, 251}}), 10000);
  EXPECT_EQ(define({{"A", fldBytes, 0, 250}}), 0);
  EXPECT_EQ(define({{"A", fldInteger, 0, 0, 0, false, "x"}}), 10006);
  EXPECT_EQ(define({{"A", fldSmallInt, 0, 0, 0, false, "", "40000"}}), 10006);
  EXPECT_EQ(define({{"A", fldDate, 0, 0, 0, false, "12/31/1999", "", "date"}}), 0);
  EXPECT_EQ(define({{"A", fldDate, 0, 0, 0, false, "31.12.1999"}}), 10006);
  EXPECT_EQ(define({{"A", fldTimeStamp, 0, 0, 0, false, "", "", "Now"}}), 0);
  EXPECT_EQ(define({{"A", fldTime, 0, 0, 0, false, "", "", "NOW"}}), 10006);
  EXPECT_EQ(define({{"A", fldBoolean, 0, 0, 0, false, "", "", "true"}}), 0);
  EXPECT_EQ(define({{"A", fldInteger, 0, 0, 0, false, "", "", "", "B + 1"}}), 10006);
  EXPECT_EQ(define({}), 9492);
  std::vector<TFieldSpec> wide;
  for (int i = 0; i < 300; ++i) wide.push_back({"F" + std::to_string(i), fldString, 0, 250});
  EXPECT_EQ(define(wide), 9477);
  // Names are trimmed and cut to 30 characters; sizes of fixed types are dropped.
  std::vector<TFieldDescriptor> d =
      DefineFields({{"  " + std::string(40, 'N'), fldInteger, 0, 99, 3}}, 0, 0, "x.DAT", &size, &calc);
  EXPECT_EQ(d[0].Name(), std::string(30, 'N'));
  EXPECT_EQ(d[0].DeclaredSize(), 0);
  EXPECT_EQ(d[0].DeclaredDecimals(), 0);
  EXPECT_EQ(size, 14);
}

class DamagedTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateTable(dir_ / "t", SmallTable());
    good_ = ReadAll(dir_ / "t.DAT");
  }
  uint16_t OpenWith(const std::vector<uint8_t>& bytes) {
    WriteAll(dir_ / "t.DAT", bytes);
    return CodeOf([&] { Open(dir_ / "t.DAT"); });
  }
  TempDir dir_;
  std::vector<uint8_t> good_;
};

TEST_F(DamagedTableTest, VersionIsCheckedBeforeTheDescriptors) {
  std::vector<uint8_t> b = good_;
  b[8] = 4;
  b.resize(200);  // descriptors cut short too
  EXPECT_EQ(OpenWith(b), 12035);
}

TEST_F(DamagedTableTest, LocaleThatIsNotInstalled) {
  std::vector<uint8_t> b = good_;
  StoreLE16(&b[103], 0x7777);
  EXPECT_EQ(OpenWith(b), 15878);
}

TEST_F(DamagedTableTest, EachLayoutBreachIs8961) {
  auto patched = [&](auto change) {
    std::vector<uint8_t> b = good_;
    change(b);
    return OpenWith(b);
  };
  EXPECT_EQ(patched([](auto&) {}), 0);
  // The autoincrement descriptor claiming offset 9.
  EXPECT_EQ(patched([](auto& b) { StoreLE16(&b[127 + 90], 9); }), 8961);
  // A stored field at the wrong offset.
  EXPECT_EQ(patched([](auto& b) { StoreLE16(&b[127 + 768 + 90], 10); }), 8961);
  // A descriptor with another field number.
  EXPECT_EQ(patched([](auto& b) { StoreLE16(&b[127 + 768], 7); }), 8961);
  // The header's record size disagrees with the descriptors.
  EXPECT_EQ(patched([](auto& b) { StoreLE16(&b[21], 50); }), 8961);
  // A string declared wider than 250: the stored size would not fit a byte.
  EXPECT_EQ(patched([](auto& b) { b[127 + 768 + 86] = 255; }), 8961);
  // One byte more than whole records.
  EXPECT_EQ(patched([](auto& b) { b.push_back(0); }), 8961);
  // A whole record, but the next record number still says none.
  EXPECT_EQ(patched([](auto& b) { b.resize(b.size() + 49); }), 8961);
  // Next record number without any records.
  EXPECT_EQ(patched([](auto& b) { StoreLE32(&b[13], 5); }), 8961);
  // More descriptors than the file holds: refused before anything is sized by it.
  EXPECT_EQ(patched([](auto& b) { StoreLE16(&b[23], 1024); }), 8961);
  EXPECT_EQ(patched([](auto& b) { StoreLE16(&b[23], 60000); }), 8961);
  // A free chain head beyond the records.
  EXPECT_EQ(patched([](auto& b) { StoreLE32(&b[9], 3); }), 8961);
  // A calculated field.
  EXPECT_EQ(patched([](auto& b) {
              b[127 + 3 * 768 + 247] = 1;
              b[127 + 3 * 768 + 248] = 'X';
            }),
            8961);
  // Bytes the engine ignores and the header-modified mark may hold anything.
  EXPECT_EQ(patched([](auto& b) {
              b[113] = 0;
              b[40] = 0xAB;
              b[127 + 768 + 600] = 0xCD;
              b[127 + 768 + 88] = 99;  // stored sizes on disk are not trusted
            }),
            0);
}

TEST_F(DamagedTableTest, RecordsMustBeWhole) {
  std::vector<uint8_t> b = good_;
  b.resize(b.size() + 3 * 49);
  StoreLE32(&b[13], 4);
  EXPECT_EQ(OpenWith(b), 0);
  StoreLE32(&b[13], 3);
  EXPECT_EQ(OpenWith(b), 8961);
  b.resize(10);
  EXPECT_EQ(OpenWith(b), 9217);  // not even a header
}

TEST(TableCipherTest, RunsAreInvolutionsAndRestartPerRun) {
  std::vector<uint8_t> a(300), b;
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 13);
  b = a;
  ApplyCipher(b.data(), b.size(), kTableKey);
  EXPECT_NE(a, b);
  std::vector<uint8_t> c = a;
  ApplyCipher(c.data(), c.size(), kTableKey);
  EXPECT_EQ(b, c);  // the key stream restarts for every run
  ApplyCipher(b.data(), b.size(), kTableKey);
  EXPECT_EQ(a, b);
  // The two key pairs differ.
  std::vector<uint8_t> d = a;
  ApplyCipher(d.data(), d.size(), kPasswordKey);
  EXPECT_NE(d, c);
  // byte ^= r ^ f with r rising and f falling.
  uint8_t zero[2] = {0, 0};
  ApplyCipher(zero, 2, TCipherKey{0x10, 0x01});
  EXPECT_EQ(zero[0], 0x11);
  EXPECT_EQ(zero[1], 0x11);
}

TEST(TableCipherTest, EncipheredTableNeedsItsPassword) {
  TempDir dir;
  TTableSpec def = SmallTable();
  def.Password = "Secret";
  CreateTable(dir / "e", def);
  std::vector<uint8_t> bytes = ReadAll(dir / "e.DAT");
  // Neither the password nor the descriptors are readable on disk.
  std::string raw(bytes.begin(), bytes.end());
  EXPECT_EQ(raw.find("Secret"), std::string::npos);
  EXPECT_EQ(raw.find("NAME"), std::string::npos);
  EXPECT_EQ(bytes[87], 6);  // the length byte is plain
  EXPECT_EQ(CodeOf([&] { Open(dir / "e.DAT"); }), 10498);
  std::string asked;
  TTableImage image = Open(dir / "e.DAT", [&](const std::string& p) {
    asked = p;
    return p == "Secret";
  });
  EXPECT_EQ(asked, "Secret");
  EXPECT_EQ(image.descriptors[1].Name(), "NAME");
  EXPECT_EQ(image.header.Password(), "Secret");
}

}  // namespace
}  // namespace ovrin

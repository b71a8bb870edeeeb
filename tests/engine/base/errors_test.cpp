#include <gtest/gtest.h>

#include "engine/base/errors.h"
#include "engine/base/file_session.h"

namespace ovrin {
namespace {

std::string Text(uint16_t code, std::string name = "", std::string a = "", std::string b = "",
                 std::string c = "") {
  TErrorContext ctx;
  ctx.NameText = name;
  ctx.TextA = a;
  ctx.TextB = b;
  ctx.TextC = c;
  return MessageForCode(code, ctx);
}

TEST(CatalogueTest, InsertsTextsExactlyWithoutQuotesOrBlanks) {
  EXPECT_EQ(Text(9732, "C:\\DATA\\USERS.DAT", "Name"),
            "A value must be provided for the field Name in data file C:\\DATA\\USERS.DAT");
  EXPECT_EQ(Text(9729, "/t/users.DAT", "", "", "LOGIN"),
            "Duplicate key found in index LOGIN of data file /t/users.DAT");
  EXPECT_EQ(Text(8711, "x.DAT"), "End of blob data in data file x.DAT reached prematurely");
  EXPECT_EQ(Text(11949, "ignored", "", "SELECT 1"), "SQL - SELECT 1");
  EXPECT_EQ(Text(10023, "f.DAT", "7", "", "IDX"),
            "Invalid field number 7 specified in index IDX for data file f.DAT");
}

TEST(CatalogueTest, PasswordMessageKeepsItsMissingBlank) {
  std::string text = Text(10015, "X.DAT");
  EXPECT_EQ(text, "Password provided for data file X.DATis invalid");
}

TEST(CatalogueTest, UnknownCodeGetsTheDefaultText) {
  EXPECT_EQ(Text(1234, "X.DAT"), "Unknown error occurred with data file X.DAT");
  EXPECT_EQ(Text(0, "X.DAT"), "Unknown error occurred with data file X.DAT");
}

TEST(CatalogueTest, CodesWithoutTextsIgnoreTheContext) {
  EXPECT_EQ(Text(10758, "X", "A", "B", "C"), "Ovrin engine not initialized");
  EXPECT_EQ(Text(11016, "X", "A", "B", "C"),
            "There is insufficient operating system memory available for the current operation");
}

TEST(CatalogueTest, LongMessagesAreCutAt127Characters) {
  std::string path = "/" + std::string(199, 'p');
  std::string text = Text(9479, path);
  ASSERT_EQ(text.size(), 127u);
  EXPECT_EQ(text, ("The data file " + path).substr(0, 127));
  // A long name early in the message cuts the fixed words after it.
  std::string index(120, 'i');
  text = Text(8708, "file", "", "", index);
  EXPECT_EQ(text.size(), 127u);
  EXPECT_EQ(text, ("Key not found in index " + index).substr(0, 127));
}

TEST(CatalogueTest, EveryCodeNamesTheFile) {
  for (uint16_t code : {8705, 8706, 8708, 8710, 8711, 8961, 8962, 8963, 8965, 9217, 9218,
                        9220, 9221, 9477, 9479, 9482, 9487, 9492, 9494, 9498, 9729, 9730,
                        9731, 9732, 9985, 9993, 9998, 10000, 10006, 10010, 10015, 10022,
                        10023, 10026, 10027, 10029, 10030, 10031, 10038, 10050, 10051,
                        10055, 10241, 10242, 10249, 10253, 10258, 10498, 10753, 11010,
                        11012, 11013, 11014, 11017, 11023, 11025, 11047, 12035, 12292, 15878}) {
    std::string text = Text(code, "F.DAT");
    EXPECT_NE(text.find("F.DAT"), std::string::npos) << code;
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << code;
    EXPECT_EQ(text.find('{'), std::string::npos) << code;
  }
}

class EngineErrorTest : public ::testing::Test {
 protected:
  void SetUp() override { engine::StartEngine(); }
  void TearDown() override { engine::StopEngine(); }
};

TEST_F(EngineErrorTest, ExceptionCarriesCodeTextAndPrefixedMessage) {
  try {
    RaiseEngineError(errInvalidPassword, "X.DAT");
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10015);
    ASSERT_EQ(e.Errors().size(), 1u);
    EXPECT_EQ(e.Errors()[0].ErrorCode, 10015);
    EXPECT_EQ(e.Errors()[0].Message, "Password provided for data file X.DATis invalid");
    EXPECT_EQ(e.Message(), "Ovrin Engine Error # 10015 Password provided for data file X.DATis invalid");
    EXPECT_STREQ(e.what(), e.Message().c_str());
  }
}

TEST_F(EngineErrorTest, RaiseClearsAndFillsTheContext) {
  TErrorContext& ctx = engine::CurrentFileSession()->ErrorContext;
  EXPECT_THROW(RaiseEngineError(errKeyViolation, "a.DAT", "F", "B", "IDX"), EOvrinEngineError);
  EXPECT_EQ(ctx.Code, 9729);
  EXPECT_EQ(ctx.TextC, "IDX");
  EXPECT_THROW(RaiseEngineError(errInvalidPath, "b.DAT"), EOvrinEngineError);
  EXPECT_EQ(ctx.Code, 11010);
  EXPECT_EQ(ctx.NameText, "b.DAT");
  EXPECT_EQ(ctx.TextA, "");
  EXPECT_EQ(ctx.TextC, "");
  // 10758 leaves the context alone.
  EXPECT_THROW(RaiseEngineError(errNotInitialized, "c.DAT"), EOvrinEngineError);
  EXPECT_EQ(ctx.Code, 11010);
  EXPECT_EQ(ctx.NameText, "b.DAT");
}

TEST_F(EngineErrorTest, CheckEngineResultUsesTheStoredContext) {
  EXPECT_NO_THROW(CheckEngineResult(0));
  TErrorContext& ctx = engine::CurrentFileSession()->ErrorContext;
  ctx.Clear();
  ctx.NameText = "z.DAT";
  try {
    CheckEngineResult(errEndOfFile);
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.Message(), "Ovrin Engine Error # 8706 End of file encountered in data file z.DAT");
  }
}

TEST(EngineStateTest, CurrentFileSessionNeedsAStartedEngine) {
  ASSERT_FALSE(engine::IsStarted());
  try {
    engine::CurrentFileSession();
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10758);
    EXPECT_EQ(e.Message(), "Ovrin Engine Error # 10758 Ovrin engine not initialized");
  }
  EXPECT_THROW(engine::SetPrivateDirectory("/tmp"), EOvrinEngineError);
  engine::StartEngine();
  engine::StartEngine();  // starting twice keeps the first session
  TFileSession* first = engine::CurrentFileSession();
  EXPECT_EQ(first, engine::EngineFileSession());
  engine::SetPrivateDirectory("/tmp/x");
  EXPECT_EQ(engine::PrivateDirectory(), "/tmp/x");
  TFileSession* other = engine::CreateFileSession();
  engine::SetCurrentFileSession(other);
  EXPECT_EQ(engine::PrivateDirectory(), "");
  engine::SetCurrentFileSession(first);
  engine::FreeFileSession(other);
  engine::FreeFileSession(nullptr);
  engine::StopEngine();
  EXPECT_FALSE(engine::IsStarted());
  EXPECT_EQ(engine::CurrentFileSessionOrNull(), nullptr);
}

TEST(PasswordListTest, KeepsOneOfEachExactPassword) {
  TPasswordList list;
  list.Add("Secret");
  list.Add("Secret");
  list.Add("");
  EXPECT_EQ(list.Count(), 1);
  list.Add("secret");
  EXPECT_EQ(list.Count(), 2);
  EXPECT_TRUE(list.Contains("Secret"));
  EXPECT_FALSE(list.Contains("SECRET"));
  list.Remove("SECRET");
  EXPECT_EQ(list.Count(), 2);
  list.Remove("Secret");
  EXPECT_FALSE(list.Contains("Secret"));
  EXPECT_TRUE(list.Contains("secret"));
  list.RemoveAll();
  EXPECT_EQ(list.Count(), 0);
}

TEST(RandomTest, StaysInRange) {
  for (int i = 0; i < 1000; ++i) {
    uint32_t r = engine::Random(1, 65534);
    ASSERT_GE(r, 1u);
    ASSERT_LE(r, 65534u);
  }
}

}  // namespace
}  // namespace ovrin

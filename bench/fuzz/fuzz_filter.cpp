// The filter expression parser over fuzzed text, against a table of many field kinds
// held in memory; a parsed filter is also applied and walked.
#include <cstdint>
#include <string>

#include "engine/base/errors.h"
#include "engine/data/table_create.h"
#include "engine/table/filter_expr.h"
#include "engine/table/table.h"

namespace {

ovrin::TOvrinTable& Table() {
  static ovrin::TOvrinTable* table = [] {
    using namespace ovrin;
    TTableSpec def;
    def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 20},
                  TFieldSpec{"BORN", fldDate},  TFieldSpec{"SEEN", fldTimeStamp},
                  TFieldSpec{"ACTIVE", fldBoolean}, TFieldSpec{"QTY", fldSmallInt},
                  TFieldSpec{"PRICE", fldBcd, subNone, 0, 2}, TFieldSpec{"RATE", fldFloat},
                  TFieldSpec{"NOTE", fldBlob, subMemo}};
    def.Primary.Fields = {"ID"};
    TIndexSpec name;
    name.Name = "BYNAME";
    name.Fields = {"NAME"};
    def.Secondary = {name};
    engine::StartEngine();
    CreateTable("fuzzfilter", def, TCreateOptions{true, true});
    auto* t = new TOvrinTable;
    t->SetInMemory(true);
    t->SetTableName("fuzzfilter");
    t->Open();
    for (int i = 0; i < 20; ++i) {
      t->Append();
      t->FieldByName("NAME").SetAsString(i % 3 ? "name " + std::to_string(i) : std::string());
      t->FieldByName("QTY").SetAsInteger(i);
      t->FieldByName("RATE").SetAsFloat(i / 3.0);
      t->FieldByName("ACTIVE").SetAsBoolean(i % 2);
      t->Post();
    }
    return t;
  }();
  return *table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ovrin::TOvrinTable& t = Table();
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    ovrin::ParseFilter(t, 0, text);
    t.SetFilter(text);
    t.SetFiltered(true);
    for (t.First(); !t.Eof(); t.Next()) t.FieldByName("NAME").AsString();
  } catch (const ovrin::Exception&) {
  } catch (const std::exception&) {
  }
  try {
    t.SetFiltered(false);
  } catch (const std::exception&) {
  }
  return 0;
}

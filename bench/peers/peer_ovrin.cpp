// Our engine as a peer, driven through TOvrinTable the way its users drive it: Append,
// fields by name, Post; First, Next, Eof, with the field objects looked up once after
// opening and texts read as views into the record. Modes:
//   shared     the table opened shared: every post written through to the files at once
//   exclusive  the table opened exclusively: changes kept in the caches until closed
// The comments are strings of up to 250 characters stored in the record, as the other
// peers store them.
#include <filesystem>
#include <string>

#include "common.h"
#include "engine/base/conversions.h"
#include "engine/data/table_create.h"
#include "engine/table/table.h"

namespace bench {
namespace {

using namespace ovrin;

bool Exists(const std::string& dir, const std::string& table) {
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (AsciiUpper(e.path().filename().string()) == AsciiUpper(table) + ".DAT") return true;
  return false;
}

void CreateRevisionTable(const std::string& path) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"REVISIONID", fldInteger, subAutoInc}, TFieldSpec{"MODULEID", fldInteger},
                TFieldSpec{"USERID", fldInteger},     TFieldSpec{"VERSION", fldInteger},
                TFieldSpec{"VERSTATE", fldInteger},   TFieldSpec{"REVISION", fldInteger},
                TFieldSpec{"COMMENT_I", fldString, subNone, 250},
                TFieldSpec{"COMMENT_O", fldString, subNone, 250}, TFieldSpec{"IDEVERSION", fldInteger}};
  def.Primary.Fields = {"REVISIONID"};
  TIndexSpec modrev;
  modrev.Name = "MODREV";
  modrev.Fields = {"MODULEID", "VERSION", "REVISION"};
  def.Secondary = {modrev};
  CreateTable(path, def);
}

void CreateBlobTable(const std::string& path) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"BLOBID", fldInteger, subAutoInc}, TFieldSpec{"REVISIONID", fldInteger},
                TFieldSpec{"EXTENSION", fldString, subNone, 8}, TFieldSpec{"ORIGTIME", fldFloat},
                TFieldSpec{"ORIGSIZE", fldInteger},   TFieldSpec{"ORIGCRC", fldInteger},
                TFieldSpec{"COMPSIZE", fldInteger},   TFieldSpec{"FILEDATA", fldBlob, subBinary}};
  def.Primary.Fields = {"BLOBID"};
  TIndexSpec byRevision;
  byRevision.Name = "REVISIONID";
  byRevision.Fields = {"REVISIONID"};
  def.Secondary = {byRevision};
  def.BlobBlockSize = 4096;
  CreateTable(path, def);
}

class OvrinPeer : public Peer {
 public:
  explicit OvrinPeer(std::string mode) : exclusive_(mode == "exclusive") {}
  ~OvrinPeer() override { close(); }

  void open(const std::string& dir, unsigned tables) override {
    ensure_dir(dir);
    auto prepare = [&](TOvrinTable& t, const char* name, void (*create)(const std::string&)) {
      if (!Exists(dir, name)) create(dir + "/" + name);
      t.SetDatabaseName(dir);
      t.SetTableName(name);
      t.SetExclusive(exclusive_);
      t.Open();
    };
    if (tables & kRevisionTable) {
      prepare(revisions_, "revision", CreateRevisionTable);
      fields_.Bind(revisions_);
    }
    if (tables & kBlobTable) prepare(blobs_, "blobs", CreateBlobTable);
  }
  void close() override {
    revisions_.Close();
    blobs_.Close();
  }

  int64_t append_revision(const Revision& r) override {
    TOvrinTable& t = revisions_;
    t.Append();
    t.FieldByName("MODULEID").SetAsInteger(r.moduleid);
    t.FieldByName("USERID").SetAsInteger(r.userid);
    t.FieldByName("VERSION").SetAsInteger(r.version);
    t.FieldByName("VERSTATE").SetAsInteger(r.verstate);
    t.FieldByName("REVISION").SetAsInteger(r.revision);
    t.FieldByName("COMMENT_I").SetAsString(std::string(r.comment_i, r.comment_i_len));
    t.FieldByName("COMMENT_O").SetAsString(std::string(r.comment_o, r.comment_o_len));
    t.FieldByName("IDEVERSION").SetAsInteger(r.ideversion);
    t.Post();
    return t.FieldByName("REVISIONID").AsInteger();
  }

  void append_blob(const Blob& b) override {
    TOvrinTable& t = blobs_;
    t.Append();
    t.FieldByName("REVISIONID").SetAsInteger(b.revisionid);
    t.FieldByName("EXTENSION").SetAsString(std::string(b.extension, b.extension_len));
    t.FieldByName("ORIGTIME").SetAsFloat(b.origtime);
    t.FieldByName("ORIGSIZE").SetAsInteger(b.origsize);
    t.FieldByName("ORIGCRC").SetAsInteger(b.origcrc);
    t.FieldByName("COMPSIZE").SetAsInteger(b.compsize);
    // The bytes are taken where they lie, as the SQLite peer binds them.
    t.FieldByName("FILEDATA").SetAsBytes(std::string_view(reinterpret_cast<const char*>(b.data), b.size));
    t.Post();
  }

  uint64_t scan_revisions(RevisionVisitor& v) override {
    if (!revisions_.IndexName().empty()) revisions_.SetIndexName("");
    uint64_t visited = 0;
    for (revisions_.First(); !revisions_.Eof(); revisions_.Next()) {
      ++visited;
      Read(fields_, row_);
      if (!v.visit(row_)) break;
    }
    return visited;
  }

  bool seek_first_by_module(int32_t moduleid, Revision& out) override {
    // The same cursor on the (MODULEID, VERSION, REVISION) index: an exclusive table
    // admits no second one.
    if (revisions_.IndexName() != "MODREV") revisions_.SetIndexName("MODREV");
    revisions_.SetKey();
    revisions_.FieldByName("MODULEID").SetAsInteger(moduleid);
    if (!revisions_.GotoKey()) return false;
    Read(fields_, out);
    return true;
  }

  uint64_t scan_blobs(BlobVisitor& v) override {
    uint64_t n = 0;
    Blob b;
    std::string data;
    for (blobs_.First(); !blobs_.Eof(); blobs_.Next()) {
      b.revisionid = blobs_.FieldByName("REVISIONID").AsInteger();
      std::string ext = blobs_.FieldByName("EXTENSION").AsString();
      b.extension_len = uint8_t(std::min<size_t>(ext.size(), 8));
      std::copy(ext.begin(), ext.begin() + b.extension_len, b.extension);
      b.origtime = blobs_.FieldByName("ORIGTIME").AsFloat();
      b.origsize = blobs_.FieldByName("ORIGSIZE").AsInteger();
      b.origcrc = blobs_.FieldByName("ORIGCRC").AsInteger();
      b.compsize = blobs_.FieldByName("COMPSIZE").AsInteger();
      data = blobs_.FieldByName("FILEDATA").AsBytes();
      b.data = reinterpret_cast<const uint8_t*>(data.data());
      b.size = uint32_t(data.size());
      v.visit(b);
      ++n;
    }
    return n;
  }

  bool is_data_file(const std::string& name) const override {
    std::string ext = AsciiUpper(std::filesystem::path(name).extension().string());
    return ext == ".DAT" || ext == ".IDX" || ext == ".BLB";
  }
  // An exclusive table is one process's alone.
  bool multi_process() const override { return !exclusive_; }

 private:
  // The revision table's field objects, valid while it is open.
  struct RevisionFields {
    TField *id, *module, *user, *version, *state, *revision, *commentI, *commentO, *ide;
    void Bind(TOvrinTable& t) {
      id = &t.FieldByName("REVISIONID");
      module = &t.FieldByName("MODULEID");
      user = &t.FieldByName("USERID");
      version = &t.FieldByName("VERSION");
      state = &t.FieldByName("VERSTATE");
      revision = &t.FieldByName("REVISION");
      commentI = &t.FieldByName("COMMENT_I");
      commentO = &t.FieldByName("COMMENT_O");
      ide = &t.FieldByName("IDEVERSION");
    }
  };

  static void Read(const RevisionFields& f, Revision& r) {
    r.revisionid = f.id->AsInteger();
    r.moduleid = f.module->AsInteger();
    r.userid = f.user->AsInteger();
    r.version = f.version->AsInteger();
    r.verstate = f.state->AsInteger();
    r.revision = f.revision->AsInteger();
    std::string_view ci = f.commentI->AsStringView(), co = f.commentO->AsStringView();
    r.set_comments(ci.data(), ci.size(), co.data(), co.size());
    r.ideversion = f.ide->AsInteger();
  }

  bool exclusive_;
  TOvrinTable revisions_, blobs_;
  RevisionFields fields_{};
  Revision row_;
};

}  // namespace

const char* peer_name() { return "ovrin"; }
const char* peer_version() { return "1.19"; }
std::vector<std::string> peer_modes() { return {"shared", "exclusive"}; }
std::unique_ptr<Peer> make_peer(const std::string& mode) {
  for (auto& m : peer_modes())
    if (m == mode) return std::make_unique<OvrinPeer>(mode);
  return nullptr;
}

}  // namespace bench

#include "tools/source_generator.h"

extern "C" {
#include <paradox.h>
}

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

#include "engine/base/conversions.h"
#include "engine/base/datetime.h"
#include "main/migration.h"
#include "main/paradox.h"

namespace hollard {

using namespace ovrin;

namespace {

struct TWriteError {
  std::string message;
};

void Collect(pxdoc_t*, int level, const char* msg, void* data) {
  if (level != 100 && data) {
    auto* error = static_cast<TWriteError*>(data);
    if (error->message.empty()) error->message = msg ? msg : "pxlib error";
  }
}
void* Alloc(pxdoc_t*, size_t size, const char*) { return std::calloc(1, size); }
void* Realloc(pxdoc_t*, void* mem, size_t size, const char*) { return std::realloc(mem, size); }
void Free(pxdoc_t*, void* mem) { std::free(mem); }

uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

double Stamp(TDateTime value) { return DateTimeToTimeStamp(value); }

}  // namespace

void WriteParadoxTable(const std::string& dbPath, const std::string& mbPath, const std::vector<TParadoxColumn>& columns,
                       const std::vector<std::vector<TParadoxValue>>& rows) {
  TWriteError error;
  pxdoc_t* doc = PX_new3(Collect, Alloc, Realloc, Free, &error);
  if (!doc) throw std::runtime_error("Cannot start writing " + dbPath);
  FILE* fp = std::fopen(dbPath.c_str(), "wb+");
  if (!fp) {
    PX_delete(doc);
    throw std::runtime_error("Cannot create " + dbPath + ": " + std::strerror(errno));
  }
  // pxlib takes the field array and its names and frees them itself.
  auto* fields = static_cast<pxfield_t*>(std::calloc(columns.size(), sizeof(pxfield_t)));
  int recordSize = 0;
  std::vector<int> offsets;
  for (size_t i = 0; i < columns.size(); ++i) {
    fields[i].px_fname = strdup(columns[i].name.c_str());
    fields[i].px_ftype = static_cast<char>(columns[i].type);
    fields[i].px_flen = columns[i].size;
    fields[i].px_fdc = 0;
    offsets.push_back(recordSize);
    recordSize += columns[i].size;
  }
  bool ok = PX_create_fp(doc, fields, static_cast<int>(columns.size()), fp, pxfFileTypNonIndexDB) == 0;
  bool hasBlobs = false;
  for (const TParadoxColumn& c : columns) hasBlobs |= c.type >= pxMemo && c.type <= pxGraphic;
  if (ok && hasBlobs) ok = PX_set_blob_file(doc, mbPath.c_str()) == 0;
  std::vector<char> record(static_cast<size_t>(recordSize));
  for (size_t r = 0; ok && r < rows.size(); ++r) {
    std::fill(record.begin(), record.end(), 0);
    for (size_t i = 0; i < columns.size(); ++i) {
      const TParadoxValue& v = rows[r][i];
      char* at = record.data() + offsets[i];
      const TParadoxColumn& c = columns[i];
      if (v.isNull) continue;
      switch (c.type) {
        case pxAlpha: {
          // Longer values would overrun the field in pxlib: cut them first.
          std::string text = v.text.substr(0, static_cast<size_t>(c.size));
          PX_put_data_alpha(doc, at, c.size, text.data());
          break;
        }
        case pxLong:
          PX_put_data_long(doc, at, c.size, static_cast<int>(v.integer));
          break;
        case pxShort:
          PX_put_data_short(doc, at, c.size, static_cast<short>(v.integer));
          break;
        case pxLogical:
          PX_put_data_byte(doc, at, c.size, static_cast<char>(v.integer ? 1 : 0));
          break;
        case pxTimestamp:
        case pxNumber:
          PX_put_data_double(doc, at, c.size, v.number);
          break;
        case pxMemo:
        case pxBlob:
          if (!v.text.empty())
            PX_put_data_blob(doc, at, c.size, const_cast<char*>(v.text.data()), static_cast<int>(v.text.size()));
          break;
        default:
          break;
      }
    }
    ok = PX_put_record(doc, record.data()) >= 0 && error.message.empty();
  }
  PX_close(doc);
  PX_delete(doc);
  std::fclose(fp);
  if (!ok || !error.message.empty())
    throw std::runtime_error("Cannot write the Paradox table " + dbPath + ": " + error.message);
}

TSourceArchive PlanSourceArchive(const TSourceOptions& o) {
  std::mt19937 rng(o.seed);
  auto pick = [&](uint32_t n) { return n ? rng() % n : 0u; };
  TSourceArchive a;
  const std::vector<std::string> logins = {"Smith", "smith", "jones", "ada", "Bob", "SMITH", "lee"};
  TDateTime base;
  TryEncodeDate(1999, 3, 1, &base);

  for (int p = 0; p < o.projects; ++p) {
    TSourceProject project;
    static const char* kNames[] = {"Main.dpr", "Tools.dpr", "setup.dpr", "Lib.dpr", "Viewer.dpr", "server.dpr"};
    project.project = p < 6 ? kNames[p] : "Project" + std::to_string(p + 1) + ".dpr";
    project.createBy = logins[pick(static_cast<uint32_t>(logins.size()))];
    project.lastUser = logins[pick(static_cast<uint32_t>(logins.size()))];
    project.createTime = base + p * 3.25;
    project.lastAccess = base + 400 + p + 0.5;
    a.projects.push_back(project);
  }
  // The standard project is in every real archive and is not migrated.
  TSourceProject standard;
  standard.project = "_HLRD_std.dpr";
  standard.createTime = base;
  a.projects.push_back(standard);

  for (int l = 1; l <= o.labels; ++l) a.labels.push_back("Release " + std::to_string(l) + ".0");

  struct TModule {
    std::string path, fname, project, lockedBy;
    bool share, hidden, readonly, form;
    int version = 1, revision = 0, nr = 0;
  };
  std::vector<TModule> modules;
  static const char* kFolders[] = {"\\src\\", "c:\\work\\lib\\", "\\forms\\", "\\SRC\\", "d:\\shared.v2\\"};
  for (int m = 0; m < o.modules; ++m) {
    TModule mod;
    mod.path = kFolders[pick(5)];
    bool form = m % 4 == 1;
    mod.fname = form ? "Form" + std::to_string(m) + ".pas" : (m % 7 == 3 ? "readme" + std::to_string(m) : "Unit" + std::to_string(m) + ".pas");
    mod.form = form;
    mod.project = a.projects[pick(static_cast<uint32_t>(o.projects))].project;
    mod.lockedBy = m % 3 == 0 ? std::string() : logins[pick(static_cast<uint32_t>(logins.size()))];
    mod.share = m % 5 == 2;
    mod.hidden = m % 6 == 4;
    mod.readonly = m % 8 == 0;
    modules.push_back(mod);
  }
  // A module whose name differs from another only in letter case.
  if (o.modules > 2) {
    modules[1].path = "\\src\\";
    modules[2].path = "\\SRC\\";
    modules[2].fname = AsciiUpper(modules[1].fname);
  }

  auto content = [&](int64_t size) {
    std::string bytes(static_cast<size_t>(size), '\0');
    uint32_t x = rng();
    for (auto& c : bytes) {
      x = x * 1664525u + 1013904223u;
      c = static_cast<char>(x >> 24);
    }
    return bytes;
  };
  auto size = [&]() -> int64_t {
    if (o.blobBytes <= 0) return 0;
    switch (pick(10)) {
      case 0: return 0;
      case 1: return 1 + pick(40);
      default: {
        double low = std::log(100.0), high = std::log(static_cast<double>(std::max<int64_t>(o.blobBytes, 101)));
        return static_cast<int64_t>(std::exp(low + (high - low) * (pick(10000) / 10000.0)));
      }
    }
  };
  for (int r = 0; r < o.revisions && !modules.empty(); ++r) {
    TModule& m = modules[static_cast<size_t>(r < o.modules ? r : pick(static_cast<uint32_t>(modules.size())))];
    if (m.revision >= 3 + static_cast<int>(pick(3))) {
      ++m.version;
      m.revision = 0;
    }
    ++m.revision;
    ++m.nr;
    TSourceRevision rev;
    rev.path = m.path;
    rev.fname = m.fname;
    rev.project = m.project;
    rev.lockedBy = m.lockedBy;
    rev.lcomment = "lock comment " + std::to_string(r);
    rev.vcomment = pick(4) == 0 ? std::string() : "Version comment of revision " + std::to_string(r) + std::string(pick(3) == 0 ? 400 : 0, '.');
    rev.version = m.version;
    rev.revision = m.revision;
    rev.nr = m.nr;
    rev.verstate = static_cast<int32_t>(pick(3));
    rev.options = static_cast<int32_t>(pick(16));
    rev.binary = content(size());
    rev.compsize = static_cast<int32_t>(rev.binary.size());
    rev.fsize = rev.compsize * 2 + 17;
    rev.flag2 = static_cast<int32_t>(Crc32(rev.binary) & 0x7FFFFFFF);
    rev.tstamp = base + r * 0.75;
    rev.locktstamp = m.lockedBy.empty() ? 0 : base + r * 0.75 + 0.01;
    rev.ftime = base + r * 0.75 - 0.2;
    if (m.form) {
      rev.asbinary = content(200 + pick(3000));
      rev.ascompsize = static_cast<int32_t>(rev.asbinary.size());
      rev.asfsize = rev.ascompsize + 100;
      rev.options2 = static_cast<int32_t>(Crc32(rev.asbinary) & 0x7FFFFFFF);
      rev.asftime = rev.ftime;
    }
    rev.flag = (!a.labels.empty() && pick(5) == 0) ? static_cast<int32_t>(1 + pick(static_cast<uint32_t>(a.labels.size()))) : 0;
    rev.readonly = m.readonly;
    rev.share = m.share;
    rev.hidden = m.hidden;
    a.revisions.push_back(rev);
  }
  return a;
}

namespace {

std::string FormatStamp(TDateTime value, const std::string& dateFormat, char timeSeparator) {
  TFormatSettings s = FixedFormatSettings();
  s.TimeSeparator = timeSeparator;
  char separator = '.';
  for (char c : dateFormat)
    if (!std::isalpha(static_cast<unsigned char>(c))) {
      separator = c;
      break;
    }
  s.DateSeparator = separator;
  std::string format = dateFormat;
  for (char& c : format)
    if (c == separator) c = '/';
  return FormatDateTime(format + " hh:nn:ss", value, s);
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("Cannot write " + path);
}

TParadoxValue Text(const std::string& s) {
  TParadoxValue v;
  v.isNull = s.empty();
  v.text = s;
  return v;
}
TParadoxValue Int(int64_t n) {
  TParadoxValue v;
  v.isNull = false;
  v.integer = n;
  return v;
}
TParadoxValue Time(double dateTime) {
  TParadoxValue v;
  v.isNull = dateTime == 0;
  v.number = Stamp(dateTime);
  return v;
}
TParadoxValue Flag(bool b) {
  TParadoxValue v;
  v.isNull = false;
  v.integer = b ? 1 : 0;
  return v;
}

}  // namespace

void WriteSourceArchive(const std::string& folder, const TSourceArchive& a, const TSourceOptions& o) {
  // A pattern the migration cannot read would be written letter for letter into every
  // date ("bogu0"); refuse it before any file is written.
  ovrin::TFormatSettings probe;
  if (!ApplyDateFormat(o.dateFormat, &probe))
    throw std::invalid_argument("date format '" + o.dateFormat + "': expected day, month and year with one separator");
  if (std::isalnum(static_cast<unsigned char>(o.timeSeparator)) || o.timeSeparator == '\0')
    throw std::invalid_argument("time separator '" + std::string(1, o.timeSeparator) +
                                "': expected one character that is not a letter or digit");
  std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  std::vector<TParadoxColumn> m = {
      {"PATH", pxAlpha, 255},   {"FNAME", pxAlpha, 64},   {"PROJECT", pxAlpha, 64}, {"LOCKEDBY", pxAlpha, 32},
      {"LCOMMENT", pxAlpha, 255}, {"VCOMMENT", pxMemo, 50}, {"VERSION", pxLong, 4},   {"REVISION", pxLong, 4},
      {"NR", pxLong, 4},        {"VERSTATE", pxShort, 2}, {"OPTIONS", pxLong, 4},   {"OPTIONS2", pxLong, 4},
      {"FSIZE", pxLong, 4},     {"FLAG2", pxLong, 4},     {"COMPSIZE", pxLong, 4},  {"ASFSIZE", pxLong, 4},
      {"ASCOMPSIZE", pxLong, 4}, {"FLAG", pxLong, 4},     {"TSTAMP", pxTimestamp, 8}, {"LOCKTSTAMP", pxTimestamp, 8},
      {"FTIME", pxTimestamp, 8}, {"ASFTIME", pxTimestamp, 8}, {"READONLY", pxLogical, 1}, {"SHARE", pxLogical, 1},
      {"HIDDEN", pxLogical, 1}, {"BINARY", pxBlob, 10},   {"ASBINARY", pxBlob, 10}};
  std::vector<std::vector<TParadoxValue>> rows;
  for (const TSourceRevision& r : a.revisions) {
    rows.push_back({Text(r.path), Text(r.fname), Text(r.project), Text(r.lockedBy), Text(r.lcomment), Text(r.vcomment),
                    Int(r.version), Int(r.revision), Int(r.nr), Int(r.verstate), Int(r.options), Int(r.options2),
                    Int(r.fsize), Int(r.flag2), Int(r.compsize), Int(r.asfsize), Int(r.ascompsize), Int(r.flag),
                    Time(r.tstamp), Time(r.locktstamp), Time(r.ftime), Time(r.asftime), Flag(r.readonly),
                    Flag(r.share), Flag(r.hidden), Text(r.binary), Text(r.asbinary)});
  }
  WriteParadoxTable(base + "hollardm.db", base + "hollardm.mb", m, rows);

  std::vector<TParadoxColumn> p = {{"PROJECT", pxAlpha, 64}, {"CREATEBY", pxAlpha, 32}, {"LASTUSER", pxAlpha, 32},
                                   {"CREATETIME", pxTimestamp, 8}, {"LASTACCESS", pxTimestamp, 8}};
  rows.clear();
  for (const TSourceProject& pr : a.projects)
    rows.push_back({Text(pr.project), Text(pr.createBy), Text(pr.lastUser), Time(pr.createTime), Time(pr.lastAccess)});
  WriteParadoxTable(base + "hollardp.db", "", p, rows);

  // Label key file.
  std::string key = "[Keys]\r\n";
  for (size_t i = 0; i < a.labels.size(); ++i) key += std::to_string(i + 1) + "=" + a.labels[i] + "\r\n";
  key += "[Comments]\r\n";
  for (size_t i = 0; i < a.labels.size(); i += 2) key += std::to_string(i + 1) + "=Comment of " + a.labels[i] + "\r\n";
  WriteText(base + "hollardm.key", key);

  // Per project: ToDo list, module list, cross-references.
  std::mt19937 rng(o.seed + 7);
  for (size_t i = 0; i < a.projects.size(); ++i) {
    const TSourceProject& pr = a.projects[i];
    if (pr.project == "_HLRD_std.dpr") continue;
    std::string stem = RemoveExtension(pr.project);
    std::string tdo;
    for (int t = 0; t < 3 + static_cast<int>(rng() % 4); ++t) {
      tdo += std::to_string(1 + rng() % 5) + "|" + FormatStamp(pr.createTime + t, o.dateFormat, o.timeSeparator) + "|Task " +
             std::to_string(t) + " of " + stem + "|open|x|" + (t % 2 ? "jones" : "") + "\r\n";
    }
    tdo += tdo.substr(0, tdo.find('\n') + 1);  // a line twice
    WriteText(base + stem + ".tdo", tdo);
    std::string prl;
    for (size_t r = i; r < a.revisions.size(); r += 7) prl += a.revisions[r].path + a.revisions[r].fname + "\r\n";
    WriteText(base + stem + ".prl", prl);
    std::string pcr;
    for (size_t j = 0; j < a.projects.size(); ++j)
      if (j != i && a.projects[j].project != "_HLRD_std.dpr" && rng() % 2) pcr += "c:\\projects\\" + a.projects[j].project + "\r\n";
    WriteText(base + stem + ".pcr", pcr);
  }

  // History log: every event marker, backups and undated lines.
  static const char* kMarkers[] = {"added to projectlist:", "removed from projectlist:", "check in:", "checked out:",
                                   "change:", "synchronized with archive:", "- merge ", "branch: ", "Archive tested",
                                   "removed project:", "undo check out:"};
  std::string log;
  for (size_t r = 0; r < a.revisions.size(); ++r) {
    const TSourceRevision& rev = a.revisions[r];
    std::string user = rev.lockedBy.empty() ? "ada" : rev.lockedBy;
    std::string who = r % 3 == 0 ? user + " on PC" + std::to_string(r % 9) : (r % 3 == 1 ? user + " (as admin)" : user);
    log += FormatStamp(rev.tstamp, o.dateFormat, o.timeSeparator) + " > [" + who + "] " + RemoveExtension(rev.project) + ".dpr - " +
           rev.path + rev.fname + " - " + kMarkers[r % 11] + " revision " + std::to_string(rev.version) + "." +
           std::to_string(rev.revision) + "\r\n";
    if (r % 17 == 5) log += FormatStamp(rev.tstamp, o.dateFormat, o.timeSeparator) + " > [" + user + "] Main.dpr - Backup (nightly)\r\n";
    if (r % 23 == 7) log += "an undated line without a time\r\n";
    if (r % 29 == 11) log += "\r\n";
  }
  WriteText(base + "hollardm.log", log);
}

}  // namespace hollard

#include "tools/archive_tool.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/file_session.h"
#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "engine/data/checker.h"
#include "engine/data/repair.h"
#include "engine/table/session.h"
#include "engine/table/table.h"
#include "main/migration.h"
#include "main/migration_guards.h"
#include "main/target_lock.h"
#include "main/text_compare.h"
#include "main/version.h"
#include "tools/archive_schema.h"
#include "tools/archive_verify.h"
#include "tools/source_generator.h"

namespace hollard {

namespace {

namespace fs = std::filesystem;

// A command line that is wrong in a way only a closer look finds (a value the table
// refuses, a log file that cannot be written): exit code 2, like a parse error.
class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Exit codes of the tool.
constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitInUse = 3;
constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  done (check: every table sound; verify: nothing lost; repair: the table sound afterwards)\n"
    "  1  the work failed or a table is damaged: an error the message names, damage found, a table\n"
    "     that cannot be read, an item the migration lost, a table not repaired or with problems\n"
    "     left after the repair, output or a repair log that could not be written in full, an\n"
    "     archive already in the folder of make-source, or (check, tables)\n"
    "     no tables found in the folder\n"
    "  2  the command line is wrong: an unknown command or option, a missing or wrong value, a\n"
    "     folder that does not exist; nothing was done\n"
    "  3  (check, repair) a table is in use by another program, which holds it open, and nothing\n"
    "     else was wrong";
constexpr const char* kExamples =
    "Examples:\n"
    "  hollard-archive make-source old --revisions 500 --date-format m/d/yyyy\n"
    "  hollard-archive create new\n"
    "  hollard-archive verify old new\n"
    "  hollard-archive check new\n"
    "  hollard-archive repair new modules --log repair.txt\n"
    "  hollard-archive dump new users --format csv --code-page windows-1250";

// The output stream of a run, passed through to the caller's stream buffer, that keeps
// the first failure with the system's reason (errno of the failing write or flush, when
// the buffer set one). A run whose output was lost must never report success.
class TCheckedOutput : public std::streambuf {
 public:
  explicit TCheckedOutput(std::streambuf* target) : target_(target) {}
  bool Failed() const { return failed_; }
  // Why the output was lost; empty when the stream buffer said nothing but failure.
  const std::string& Reason() const { return reason_; }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    errno = 0;
    if (!target_ || traits_type::eq_int_type(target_->sputc(traits_type::to_char_type(c)), traits_type::eof())) {
      Fail(errno);
      return traits_type::eof();
    }
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    errno = 0;
    std::streamsize written = target_ ? target_->sputn(s, n) : 0;
    if (written < n) Fail(errno);
    return written;
  }
  int sync() override {
    errno = 0;
    if (!target_ || target_->pubsync() == -1) {
      Fail(errno);
      return -1;
    }
    return 0;
  }

 private:
  void Fail(int error) {
    if (!failed_ && error != 0) reason_ = std::generic_category().message(error);
    failed_ = true;
  }
  std::streambuf* target_;
  bool failed_ = false;
  std::string reason_;
};

// ---- checks of option values, run while the command line is parsed, before any work.
// CLI11 puts the option's name before each message.

// A code page is an ICU converter name; the empty name would be ICU's default converter.
std::string CodePageProblem(const std::string& codePage) {
  const std::string refused =
      "unknown code page '" + codePage + "' (expected an ICU converter name such as windows-1252 or iso-8859-2)";
  if (codePage.empty()) return refused;
  try {
    TTextComparer probe(codePage);
  } catch (const std::runtime_error&) {
    return refused;
  }
  return {};
}

std::string DatePatternProblem(const std::string& pattern) {
  ovrin::TFormatSettings probe;
  return ApplyDateFormat(pattern, &probe)
             ? std::string()
             : "'" + pattern +
                   "' is not a date format: expected day, month and year (d-m-y, m-d-y or y-m-d) with one "
                   "separator, e.g. dd.mm.yyyy or m/d/yyyy";
}

std::string TimeSeparatorProblem(const std::string& c) {
  return c.size() == 1 && !std::isalnum(static_cast<unsigned char>(c[0]))
             ? std::string()
             : "'" + c + "' is not a time separator: expected one character that is not a letter or digit";
}

// A folder that must be there already.
std::string ExistingFolderProblem(const std::string& folder) {
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return {};
  return fs::exists(folder, ec) ? "'" + folder + "' is not a folder" : "no folder '" + folder + "'";
}

// A folder that is made when missing: anything else in its place is refused.
std::string FolderToMakeProblem(const std::string& folder) {
  std::error_code ec;
  return !fs::exists(folder, ec) || fs::is_directory(folder, ec) ? std::string()
                                                                 : "'" + folder + "' exists and is not a folder";
}

// ---- damage

// Engine errors that say a table's files hold something the engine cannot read: the
// corruption category, a file that ends early, a header of another version, a blob
// reference or length that leaves the blob file.
bool IsDamage(uint16_t code) { return ovrin::IsDamageError(code); }

// Whether an error opening a table calls for advice: damage, or a data file too short to
// hold its header (a read error to the engine).
bool CallsForAdvice(uint16_t code, const std::string& dir, const std::string& table) {
  return IsDamage(code) || (code == ovrin::errRead && !ovrin::DataHeaderReadable((fs::path(dir) / table).string()));
}

// An argument as the user would type it again in a shell.
std::string ShellWord(const std::string& s) {
  bool plain = !s.empty();
  for (unsigned char c : s)
    if (!std::isalnum(c) && std::string_view("_./,:@%+=-").find(static_cast<char>(c)) == std::string_view::npos)
      plain = false;
  if (plain) return s;
  std::string quoted = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\' || c == '$' || c == '`') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// What follows the engine's message when a table cannot be read because it is damaged.
std::string RepairHint(const std::string& dir, const std::string& table) {
  if (!ovrin::DataHeaderReadable((fs::path(dir) / table).string())) return HeaderLostAdvice(table);
  return "Run 'hollard-archive check " + ShellWord(dir) + "' to see its problems and 'hollard-archive repair " +
         ShellWord(dir) + " " + ShellWord(table) + "' to mend it.";
}

// A data, index or blob file of a new-layout table, by its extension in any letter case.
bool IsTableFileName(const fs::path& file) {
  const std::string extension = ovrin::AsciiUpper(file.extension().string());
  return extension == ".DAT" || extension == ".IDX" || extension == ".BLB";
}

class TCommand {
 public:
  virtual ~TCommand() = default;
  virtual void Define(CLI::App& app) = 0;
  // Checks that need more than one value at a time, after parsing and before Run;
  // throws EUsageError.
  virtual void Check() {}
  virtual int Run(std::ostream& out, std::ostream& err) = 0;
  // The hint after an engine error that ended Run because a table is damaged; empty
  // when the command cannot name the table or the error is no damage.
  virtual std::string DamageHint(const ovrin::EOvrinEngineError&) const { return {}; }
  CLI::App* app = nullptr;
};

class TMakeSource : public TCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("make-source", "Write an old-layout archive (Paradox tables and side files)");
    app->add_option("dir", dir_, "Folder to write into (made when missing)")->required()->check(FolderToMakeProblem);
    app->add_option("--revisions", options_.revisions, "Stored revisions")->check(CLI::Range(0, 10000000))->capture_default_str();
    app->add_option("--modules", options_.modules, "Modules")->check(CLI::Range(0, 1000000))->capture_default_str();
    app->add_option("--projects", options_.projects, "Projects")->check(CLI::Range(1, 10000))->capture_default_str();
    // A stored file of blocks of its own counts them in 16 bits: 65,535 blocks of 4 KB.
    app->add_option("--blob-bytes", options_.blobBytes, "Largest stored file in bytes (at most 255 MB)")
        ->check(CLI::Range(int64_t(0), int64_t(255) << 20))
        ->capture_default_str();
    app->add_option("--seed", options_.seed, "Seed of the generator")->capture_default_str();
    app->add_option("--date-format", options_.dateFormat,
                    "Date format of the side files and the log: day, month and year (d-m-y, m-d-y or y-m-d) with one "
                    "separator, e.g. dd.mm.yyyy, m/d/yyyy, yyyy-mm-dd or d.m.yy")
        ->check(DatePatternProblem)
        ->capture_default_str();
    timeSeparator_ = std::string(1, options_.timeSeparator);
    app->add_option("--time-separator", timeSeparator_, "Time separator of the side files and the log")
        ->check(TimeSeparatorProblem)
        ->capture_default_str();
    app->add_flag("--replace", replace_,
                  "Write over an archive in the folder (the old-layout archive's files are removed first)");
    app->footer(kExitCodes);
  }
  int Run(std::ostream& out, std::ostream& err) override {
    options_.timeSeparator = timeSeparator_[0];
    if (fs::is_directory(dir_)) {
      std::vector<fs::path> found = ArchiveFilesIn(dir_);
      if (!found.empty() && !replace_) {
        err << "hollard-archive: " << found.front().string()
            << " already exists: the folder holds an archive; give --replace to write over it\n";
        return kExitFailure;
      }
      // The old archive goes as a whole, so that none of its side files (of projects the
      // new one may lack) is read as part of the new one. Everything else stays.
      for (const fs::path& file : found)
        if (IsOldLayoutFile(file) && !fs::is_directory(fs::symlink_status(file))) fs::remove(file);
    }
    std::filesystem::create_directories(dir_);
    TSourceArchive archive = PlanSourceArchive(options_);
    WriteSourceArchive(dir_, archive, options_);
    out << "Wrote an old-layout archive to " << dir_ << ": " << archive.revisions.size() << " revisions, "
        << archive.projects.size() << " projects, " << archive.labels.size() << " labels\n";
    return 0;
  }

 private:
  // A file of an old-layout archive: its two tables with all their files (hollardm.*,
  // hollardp.*, the log and the label key among them) and the projects' side files.
  static bool IsOldLayoutFile(const fs::path& file) {
    const std::string stem = ovrin::AsciiUpper(file.stem().string());
    const std::string extension = ovrin::AsciiUpper(file.extension().string());
    return stem == "HOLLARDM" || stem == "HOLLARDP" || extension == ".TDO" || extension == ".PRL" ||
           extension == ".PCR";
  }
  // The files of an old- or new-layout archive in a folder, in name order without regard
  // to letter case (which does not count on the systems the archives come from).
  static std::vector<fs::path> ArchiveFilesIn(const std::string& dir) {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(dir))
      if (IsOldLayoutFile(e.path()) || IsTableFileName(e.path())) found.push_back(e.path());
    std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
      return ovrin::AsciiUpper(a.filename().string()) < ovrin::AsciiUpper(b.filename().string());
    });
    return found;
  }

  std::string dir_, timeSeparator_;
  TSourceOptions options_;
  bool replace_ = false;
};

class TCreate : public TCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("create", "Write an empty new-layout archive (the eleven target tables)");
    app->add_option("dir", dir_, "Folder to write into (made when missing)")->required()->check(FolderToMakeProblem);
    app->add_flag("--replace", replace_, "Overwrite tables that exist");
    app->footer(kExitCodes);
  }
  int Run(std::ostream& out, std::ostream& err) override {
    std::filesystem::create_directories(dir_);
    // The disk as the failure left it, before the tables made are removed again.
    std::string diskFull;
    int replaced = 0;
    try {
      CreateNewLayoutArchive(dir_, replace_, [&](int n) {
        replaced = n;
        diskFull = hollard::DiskFullNote(dir_);
      });
    } catch (const ovrin::EOvrinEngineError& e) {
      // A table that could not be written whole: the ones made before it are gone again.
      err << "hollard-archive: " << e.Message() << "\n";
      if (e.ErrorCode() == ovrin::errWrite && !diskFull.empty()) err << diskFull << "\n";
      err << "No archive was created: the tables this command had made in " << dir_ << " were removed"
          << (replaced ? " (the " + std::to_string(replaced) + " it had already replaced stay, empty)" : "") << ".\n";
      return kExitFailure;
    }
    out << "Created " << NewLayoutTables().size() << " tables in " << dir_ << "\n";
    return 0;
  }

 private:
  std::string dir_;
  bool replace_ = false;
};

// The tables of an archive folder: the base names of its data, index and blob files
// (whatever kind of folder entry they are, so that a table whose data file is missing
// or is not a file is still named), one per name without regard to letter case, in
// name order.
std::vector<std::string> ArchiveTables(const std::string& dir) {
  if (!std::filesystem::is_directory(dir)) throw std::runtime_error("No archive folder " + dir);
  std::map<std::string, std::string> names;  // upper-cased name -> name (the data file's spelling first)
  std::error_code ec;
  std::filesystem::directory_iterator entries(dir, ec);
  // A folder this user may not list: its tables are unknown, which is no damage.
  if (ec) throw std::runtime_error("cannot list the archive folder " + dir + ": " + ec.message());
  for (const auto& e : entries) {
    std::string extension = ovrin::AsciiUpper(e.path().extension().string());
    if (extension != ".DAT" && extension != ".IDX" && extension != ".BLB") continue;
    std::string stem = e.path().stem().string();
    auto [it, inserted] = names.emplace(ovrin::AsciiUpper(stem), stem);
    if (!inserted && extension == ".DAT") it->second = stem;
  }
  std::vector<std::string> tables;
  for (const auto& [upper, name] : names) tables.push_back(name);
  return tables;
}

// What check and tables say of a folder that holds no table (an empty folder, or an
// old-layout archive given by mistake): no tables is no archive, never a sound one.
constexpr const char* kNoTablesFound = "no tables found in ";

// The known structure of one of the eleven archive tables, by name without regard to
// letter case; null for any other table.
const ovrin::TTableSpec* KnownStructure(const std::string& table) {
  for (const TArchiveTable& t : NewLayoutTables())
    if (ovrin::AsciiUpper(t.name) == ovrin::AsciiUpper(table)) return &t.def;
  return nullptr;
}

// The archive tables missing from a folder whose tables are these: none when the folder
// holds none of them either (it is no archive of ours, and its tables are checked as
// they come).
std::vector<std::string> MissingArchiveTables(const std::vector<std::string>& tables) {
  std::vector<std::string> missing;
  bool any = false;
  for (const TArchiveTable& t : NewLayoutTables()) {
    const bool found = std::any_of(tables.begin(), tables.end(), [&](const std::string& name) {
      return ovrin::AsciiUpper(name) == ovrin::AsciiUpper(t.name);
    });
    if (found) any = true;
    else missing.push_back(t.name);
  }
  return any ? missing : std::vector<std::string>{};
}

// Bytes of a table's file with this extension (any letter case), 0 when there is none.
uintmax_t TableFileSize(const std::string& dir, const std::string& table, const std::string& extension) {
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.is_regular_file() && ovrin::AsciiUpper(e.path().stem().string()) == ovrin::AsciiUpper(table) &&
        ovrin::AsciiUpper(e.path().extension().string()) == extension)
      return e.file_size();
  return 0;
}

// Opens a table read-only, so that looking at it writes nothing.
void OpenForReading(ovrin::TOvrinTable& t, const std::string& dir, const std::string& table) {
  // A folder name without a delimiter would be taken for a database alias.
  t.SetDatabaseName(hollard::TMigration::WithDelimiter(dir));
  t.SetTableName(table);
  t.SetReadOnly(true);
  t.Open();
}

// Commands that read tables take the passwords of enciphered ones.
class TReadingCommand : public TCommand {
 protected:
  void AddPasswords() { app->add_option("--password", passwords_, "Password of an enciphered table (repeatable)"); }
  void UsePasswords() {
    for (const std::string& p : passwords_) ovrin::Sessions().Default().AddPassword(p);
  }
  std::vector<std::string> passwords_;
};

class TTables : public TReadingCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("tables",
                                "List the tables of a new-layout archive with their records and sizes; a folder "
                                "without tables is an error");
    app->add_option("dir", dir_, "Archive folder")->required()->check(ExistingFolderProblem);
    app->footer(kExitCodes);
    AddPasswords();
  }
  int Run(std::ostream& out, std::ostream& err) override {
    UsePasswords();
    if (ArchiveTables(dir_).empty()) {
      err << "hollard-archive: " << kNoTablesFound << dir_ << "\n";
      return kExitFailure;
    }
    int failures = 0;
    out << std::left << std::setw(12) << "table" << std::right << std::setw(10) << "records" << std::setw(14) << "data"
        << std::setw(14) << "index" << std::setw(14) << "blobs" << "\n";
    for (const std::string& name : ArchiveTables(dir_)) {
      // The row goes out whole before its table's error, which may go to the same
      // terminal.
      std::ostringstream row;
      std::string problem;
      row << std::left << std::setw(12) << name << std::right;
      try {
        ovrin::TOvrinTable t;
        OpenForReading(t, dir_, name);
        row << std::setw(10) << t.RecordCount();
      } catch (const ovrin::Exception& e) {
        row << std::setw(10) << "?";
        problem = "hollard-archive: " + name + ": " + e.Message() + "\n";
        if (auto* engine = dynamic_cast<const ovrin::EOvrinEngineError*>(&e); engine && CallsForAdvice(engine->ErrorCode(), dir_, name))
          problem += RepairHint(dir_, name) + "\n";
        ++failures;
      }
      row << std::setw(14) << TableFileSize(dir_, name, ".DAT") << std::setw(14) << TableFileSize(dir_, name, ".IDX")
          << std::setw(14) << TableFileSize(dir_, name, ".BLB") << "\n";
      out << row.str() << std::flush;
      err << problem;
    }
    return failures ? 1 : 0;
  }

 private:
  std::string dir_;
};

class TSchema : public TReadingCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("schema", "Describe a table: fields, indexes, blob block size, locale, cipher");
    app->add_option("dir", dir_, "Archive folder")->required()->check(ExistingFolderProblem);
    app->add_option("table", table_, "Table name")->required();
    app->footer(kExitCodes);
    AddPasswords();
  }
  std::string DamageHint(const ovrin::EOvrinEngineError& e) const override {
    return CallsForAdvice(e.ErrorCode(), dir_, table_) ? RepairHint(dir_, table_) : std::string();
  }
  int Run(std::ostream& out, std::ostream&) override {
    UsePasswords();
    ovrin::TOvrinTable t;
    OpenForReading(t, dir_, table_);
    const ovrin::TTableHeader& h = t.Handle()->Header();
    out << "table " << table_ << " (" << t.RecordCount() << " records, record size " << h.RecordSize() << " bytes)\n";
    out << "blob block size " << h.BlobBlockSize() << ", locale " << h.LocaleLanguage() << "/" << h.LocaleSort()
        << (h.LocaleLanguage() == 0 ? " (none)" : "") << ", " << (h.Encrypted() ? "enciphered" : "not enciphered")
        << "\n";
    out << "fields:\n";
    for (const ovrin::TFieldDef& f : t.FieldDefs()) {
      std::ostringstream line;
      line << "  " << std::left << std::setw(14) << f.Name << ovrin::FieldTypeName(f.DataType);
      if (f.Size) line << ", size " << f.Size;
      if (f.Required) line << ", required";
      out << line.str() << "\n";
    }
    out << "indexes:\n";
    for (const ovrin::TIndexDefInfo& i : t.IndexDefs()) {
      out << "  " << std::left << std::setw(14) << (i.Primary ? std::string("(primary)") : i.Name) << i.Fields;
      if (i.Unique && !i.Primary) out << ", unique";
      if (i.Descending) out << ", descending";
      if (i.CaseInsensitive) out << ", case-insensitive";
      if (i.Compression) out << ", compression " << int(i.Compression);
      out << "\n";
    }
    return 0;
  }

 private:
  std::string dir_, table_;
};

// Applies an option's value to the table. A value the table refuses (an unknown index or
// field, a filter that does not parse, a range value of the wrong type) is a wrong
// command line; damage and every other failure stay what they are.
template <class F>
void ApplyOptionValue(const std::string& option, const std::string& value, F&& apply) {
  try {
    apply();
  } catch (const ovrin::EOvrinEngineError& e) {
    switch (e.ErrorCode()) {
      case ovrin::errInvalidIndexName:
      case ovrin::errFilterExpression:
      case ovrin::errInvalidField:
      case ovrin::errFieldName:
        throw EUsageError(option + " '" + value + "': " + e.Message());
      default:
        throw;
    }
  } catch (const ovrin::Exception& e) {
    // A rethrow from the handler above is not caught here.
    throw EUsageError(option + " '" + value + "': " + e.Message());
  }
}

class TDump : public TReadingCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("dump", "Write a table's records in index order as text, CSV or JSON");
    app->add_option("dir", dir_, "Archive folder")->required()->check(ExistingFolderProblem);
    app->add_option("table", table_, "Table name")->required();
    app->add_option("--format", format_, "text, csv or json")
        ->check(CLI::IsMember({"text", "csv", "json"}))
        ->capture_default_str();
    app->add_option("--index", index_, "Index to walk (the primary index when not given)");
    app->add_option("--filter", filter_, "Filter expression, e.g. \"TYPE = 'i'\"");
    app->add_option("--range", range_, "Lowest and highest value of the index's first field")->expected(2);
    app->add_option("--blobs", blobs_, "Blob fields as: none, size, hex, or a folder to write each into")
        ->check([](const std::string& v) {
          return v == "none" || v == "size" || v == "hex" ? std::string() : FolderToMakeProblem(v);
        })
        ->capture_default_str();
    app->add_option("--code-page", codePage_, "Code page of the table's texts (shown as UTF-8)")
        ->check(CodePageProblem)
        ->capture_default_str();
    app->footer(kExitCodes);
    AddPasswords();
  }
  std::string DamageHint(const ovrin::EOvrinEngineError& e) const override {
    return CallsForAdvice(e.ErrorCode(), dir_, table_) ? RepairHint(dir_, table_) : std::string();
  }
  int Run(std::ostream& out, std::ostream&) override {
    UsePasswords();
    ovrin::TOvrinTable t;
    OpenForReading(t, dir_, table_);
    if (!index_.empty()) ApplyOptionValue("--index", index_, [&] { t.SetIndexName(index_); });
    if (!range_.empty()) {
      ApplyOptionValue("--range", range_[0] + "' '" + range_[1], [&] {
        std::vector<std::string> keys = t.IndexKeyFields();
        if (keys.empty()) throw EUsageError("--range needs an index; the table " + table_ + " has none");
        t.SetRangeStart();
        t.FieldByName(keys.at(0)).SetAsString(range_[0]);
        t.SetRangeEnd();
        t.FieldByName(keys.at(0)).SetAsString(range_[1]);
        t.ApplyRange();
      });
    }
    if (!filter_.empty()) {
      ApplyOptionValue("--filter", filter_, [&] {
        t.SetFilter(filter_);
        t.SetFiltered(true);
      });
    }
    if (blobs_ != "none" && blobs_ != "size" && blobs_ != "hex") std::filesystem::create_directories(blobs_);
    std::vector<std::string> names;
    for (int i = 0; i < t.FieldCount(); ++i) names.push_back(t.Fields(i).FieldName());
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    if (format_ != "json") WriteRow(out, names);
    int64_t count = 0;
    for (t.First(); !t.Eof(); t.Next()) {
      ++count;
      std::vector<std::optional<std::string>> values;
      for (int i = 0; i < t.FieldCount(); ++i) values.push_back(Value(t, t.Fields(i), count));
      if (format_ == "json") {
        nlohmann::ordered_json record = nlohmann::ordered_json::object();
        for (size_t i = 0; i < names.size(); ++i) record[names[i]] = values[i] ? nlohmann::ordered_json(*values[i]) : nlohmann::ordered_json();
        records.push_back(std::move(record));
      } else {
        std::vector<std::string> row;
        for (auto& v : values) row.push_back(v.value_or(""));
        WriteRow(out, row);
      }
    }
    if (format_ == "json") out << records.dump(1) << "\n";
    return 0;
  }

 private:
  // A field's value as UTF-8 text, nothing for null; blobs as the --blobs option says.
  std::optional<std::string> Value(ovrin::TOvrinTable& t, ovrin::TField& f, int64_t record) {
    if (f.IsNull()) return std::nullopt;
    if (!f.IsBlob() || f.DataType() == ovrin::TFieldType::Memo) {
      if (f.IsBlob() && blobs_ == "none") return std::string();
      return ovrin::DecodeToUtf8(f.AsString(), codePage_.c_str());
    }
    if (blobs_ == "none") return std::string();
    std::string bytes = f.AsBytes();
    if (blobs_ == "size") return std::to_string(bytes.size());
    if (blobs_ == "hex") {
      static const char* digits = "0123456789abcdef";
      std::string hex;
      for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
      }
      return hex;
    }
    std::string name = t.TableName() + "-" + std::to_string(record) + "-" + f.FieldName() + ".bin";
    std::ofstream file(std::filesystem::path(blobs_) / name, std::ios::binary);
    file << bytes;
    file.close();  // the last bytes leave the buffer here, and may fail to
    if (!file) throw std::runtime_error("Cannot write " + (std::filesystem::path(blobs_) / name).string());
    return name;
  }
  void WriteRow(std::ostream& out, const std::vector<std::string>& values) const {
    for (size_t i = 0; i < values.size(); ++i) {
      if (i) out << (format_ == "csv" ? "," : "\t");
      if (format_ == "csv" && values[i].find_first_of(",\"\r\n") != std::string::npos) {
        out << '"';
        for (char c : values[i]) out << (c == '"' ? "\"\"" : std::string(1, c));
        out << '"';
      } else if (format_ == "text") {
        for (char c : values[i]) out << (c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
      } else {
        out << values[i];
      }
    }
    out << (format_ == "csv" ? "\r\n" : "\n");
  }

  std::string dir_, table_, format_ = "text", index_, filter_, blobs_ = "size", codePage_ = "windows-1252";
  std::vector<std::string> range_;
};

class TVerify : public TReadingCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("verify",
                                "Prove a migration: every item of the old archive in the new one, stored files byte "
                                "for byte; reads only");
    app->add_option("source", source_, "Old-layout archive folder")->required()->check(ExistingFolderProblem);
    app->add_option("target", target_, "New-layout archive folder it was migrated into")
        ->required()
        ->check(ExistingFolderProblem);
    app->add_option("--code-page", codePage_, "Code page of the old archive's texts")
        ->check(CodePageProblem)
        ->capture_default_str();
    app->add_option("--date-format", dateFormat_,
                    "Date format of the side files and the log: auto (found from the texts) or e.g. dd.mm.yyyy")
        ->check([](const std::string& pattern) { return pattern == "auto" ? std::string() : DatePatternProblem(pattern); })
        ->capture_default_str();
    app->add_option("--time-separator", timeSeparator_,
                    "Time separator of the side files and the log (found with the date format when not given)")
        ->check(TimeSeparatorProblem);
    app->footer(kExitCodes);
    AddPasswords();
  }
  // The verifier reads many target tables; the damaged one is the table of the file the
  // engine's error context names, when that file lies in the target folder.
  std::string DamageHint(const ovrin::EOvrinEngineError& e) const override {
    if (!IsDamage(e.ErrorCode())) return {};
    std::string table;
    const ovrin::TFileSession* session = ovrin::engine::CurrentFileSessionOrNull();
    if (session && session->ErrorContext.Code == e.ErrorCode() && !session->ErrorContext.NameText.empty()) {
      fs::path file(session->ErrorContext.NameText);
      std::error_code ec;
      if (fs::equivalent(file.parent_path(), target_, ec) && !ec) table = file.stem().string();
    }
    if (table.empty())
      return "Run 'hollard-archive check " + ShellWord(target_) + "' to see which table is damaged and 'hollard-archive repair " +
             ShellWord(target_) + " TABLE' to mend it.";
    return RepairHint(target_, table);
  }
  int Run(std::ostream& out, std::ostream& err) override {
    UsePasswords();
    // Tables and side files are found by listing the folders: one this user may enter
    // but not list would hide them, and every item would be reported lost.
    for (const std::string* folder : {&source_, &target_})
      if (ovrin::PermissionDenied(*folder, R_OK | X_OK)) {
        err << "hollard-archive: the folder " << *folder << " cannot be read by this user (" << std::strerror(errno)
            << "); verify lists it to find the archive's files\n";
        return kExitFailure;
      }
    TVerifyOptions options;
    options.codePage = codePage_;
    options.settings = ovrin::UserFormatSettings(codePage_.c_str());
    // The values were checked while the command line was parsed.
    if (dateFormat_ != "auto") {
      options.dates.automatic = false;
      options.dates.pattern = dateFormat_;
    }
    if (!timeSeparator_.empty()) options.dates.timeSeparator = timeSeparator_[0];
    TVerifyReport report = VerifyMigration(source_, target_, options);
    out << report.dateFormat << "\n";
    out << "Checked:\n";
    for (const auto& [kind, n] : report.checked)
      out << "  " << std::left << std::setw(std::max<int>(22, static_cast<int>(kind.size()) + 1)) << kind << n << "\n";
    if (!report.intended.empty()) {
      out << "As the migration's rules have it (" << report.intended.size() << "):\n";
      for (const std::string& line : report.intended) out << "  " << line << "\n";
    }
    if (!report.passedOver.empty()) {
      out << "Passed over by the migration's rules: no valid date (" << report.passedOver.size() << "):\n";
      for (const std::string& line : report.passedOver) out << "  " << line << "\n";
    }
    if (!report.lost.empty()) {
      out << "Missing or different (" << report.lost.size() << "):\n";
      for (const std::string& line : report.lost) out << "  " << line << "\n";
    }
    out << (report.Ok() ? "Nothing was lost\n" : "The migration lost " + std::to_string(report.lost.size()) + " item(s)\n");
    return report.Ok() ? 0 : 1;
  }

 private:
  std::string source_, target_, codePage_ = "windows-1252", dateFormat_ = "auto", timeSeparator_;
};

class TCheck : public TReadingCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("check",
                                "Check tables for damage (records, every index, deleted records, free chain, blob "
                                "chains); reads only. A folder without tables is an error, never sound");
    app->add_option("dir", dir_, "Archive folder")->required()->check(ExistingFolderProblem);
    app->add_option("tables", tables_, "Tables to check (all when none is named)");
    app->footer(kExitCodes);
    AddPasswords();
  }
  int Run(std::ostream& out, std::ostream& err) override {
    UsePasswords();
    std::vector<std::string> tables = tables_.empty() ? ArchiveTables(dir_) : tables_;
    if (tables.empty()) {
      err << "hollard-archive: " << kNoTablesFound << dir_ << "\n";
      return kExitFailure;
    }
    int damaged = 0, inUse = 0, refused = 0, absent = 0;
    for (const std::string& name : tables) {
      // A name given that no file answers to is a table not there (a misspelt name, say),
      // not a damaged one; in a folder this user may not list, the check says why.
      if (!tables_.empty() && !ovrin::PermissionDenied(dir_, R_OK | X_OK) &&
          ovrin::ExistingTableFile((std::filesystem::path(dir_) / name).string()).empty()) {
        ++absent;
        out << name << ": no such table in " << dir_ << " (no data, index or blob file of that name)\n";
        continue;
      }
      ovrin::TCheckReport r = ovrin::CheckTable((std::filesystem::path(dir_) / name).string());
      if (r.Ok()) {
        out << name << ": ok (" << r.liveRecords << " records, " << r.deletedRecords << " deleted, " << r.blobBlocks
            << " blob blocks)\n";
      } else if (r.inUse) {
        ++inUse;
        out << name << ": in use by another program, not checked\n";
        for (const std::string& p : r.problems) out << "  " << p << "\n";
      } else if (r.refused) {
        // Permissions are no damage: a repair or a backup would be the wrong cure.
        ++refused;
        out << name << ": cannot be read by this user (permissions), not checked\n";
        for (const std::string& p : r.problems) out << "  " << p << "\n";
      } else {
        ++damaged;
        out << name << ": " << (r.opened ? std::to_string(r.problems.size()) + " problem(s)" : "cannot be opened")
            << "\n";
        for (const std::string& p : r.problems) out << "  " << p << "\n";
        if (!r.opened && !ovrin::DataHeaderReadable((std::filesystem::path(dir_) / name).string()))
          out << "  " << HeaderLostAdvice(name) << "\n";
      }
      for (const std::string& n : r.notes) out << "  note: " << n << "\n";
    }
    // Sound tables do not make an archive when some of its tables are gone (their files
    // removed, or a copy that left them out): a run refuses such a target.
    std::vector<std::string> missing = tables_.empty() ? MissingArchiveTables(tables) : std::vector<std::string>{};
    if (!missing.empty()) {
      std::string names;
      for (const std::string& m : missing) names += (names.empty() ? "" : ", ") + m;
      out << "The archive lacks " << missing.size() << " of its " << NewLayoutTables().size()
          << " tables: " << names << " (no files of " << (missing.size() == 1 ? "that name" : "those names")
          << " in " << dir_ << "); a migration refuses it\n";
    }
    const std::string of = " of " + std::to_string(tables.size()) + (tables.size() == 1 ? " table " : " tables ");
    if (absent) out << absent << of << "named " << (absent == 1 ? "was" : "were") << " not found\n";
    if (damaged) out << damaged << of << "damaged\n";
    if (refused) out << refused << of << "cannot be read by this user, not checked\n";
    if (inUse) out << inUse << of << "in use by another program, not checked\n";
    const bool sound = !damaged && !inUse && !refused && !absent;
    if (sound && !missing.empty())
      out << "The " << tables.size() << (tables.size() == 1 ? " table there is sound" : " tables there are sound")
          << ", but the archive is not whole\n";
    else if (sound)
      out << (tables.size() == 1 ? "The table is sound\n" : "All " + std::to_string(tables.size()) + " tables are sound\n");
    return damaged || refused || absent || !missing.empty() ? kExitFailure : inUse ? kExitInUse : kExitOk;
  }

 private:
  std::string dir_;
  std::vector<std::string> tables_;
};

class TRepair : public TReadingCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("repair",
                                "Repair a damaged table: cut what failed changes left, rebuild every index, the free "
                                "chain and the deleted-record index, mend record links and blob chains; the table "
                                "must be in use by nobody else. An index file that does not fit the table is kept "
                                "aside as NAME.IDX.damaged and made anew from the table's known structure");
    app->add_option("dir", dir_, "Archive folder")->required()->check(ExistingFolderProblem);
    app->add_option("table", table_, "Table to repair")->required();
    app->add_option("--log", logFile_, "Also write the repair log to this file");
    app->footer(kExitCodes);
    AddPasswords();
  }
  // The log file is opened (and emptied) before the repair, so that a log that cannot
  // be written refuses the command line instead of being found missing afterwards. A
  // log that is one of the archive's table files is refused before it is opened:
  // opening it would empty the table.
  void Check() override {
    if (logFile_.empty()) return;
    if (std::string problem = LogOverTableProblem(); !problem.empty()) throw EUsageError("--log: " + problem);
    log_.open(logFile_, std::ios::binary | std::ios::trunc);
    if (!log_) throw EUsageError("--log: cannot write the repair log '" + logFile_ + "'");
  }
  int Run(std::ostream& out, std::ostream& err) override {
    int code = Repair(out, err);
    // The log's last lines are still in its buffer: a log that could not be written in
    // full is a failure, as lost output is.
    if (log_.is_open()) {
      errno = 0;
      log_.close();
      const int error = errno;
      if (log_.fail()) {
        err << "hollard-archive: cannot write the repair log '" << logFile_ << "'"
            << (error ? ": " + std::generic_category().message(error) : std::string()) << "\n";
        if (code == kExitOk) code = kExitFailure;
      }
    }
    return code;
  }

 private:
  int Repair(std::ostream& out, std::ostream& err) {
    UsePasswords();
    const std::string path = (std::filesystem::path(dir_) / table_).string();
    // A migration into this archive opens its tables one step after another: between two
    // steps the repair could take a table and make the next step fail half way. The run
    // lock keeps the two apart (a folder where the lock file cannot be made is repaired
    // without it; the table's own locks still keep every user out).
    hollard::TTargetLock runLock;
    std::string holder;
    std::string folder = dir_;
    if (folder.empty() || folder.back() != '/') folder += '/';
    if (runLock.Acquire(folder, &holder, "repairing " + table_) == hollard::TTargetLock::TResult::HeldByAnother) {
      err << "hollard-archive: " << table_ << " was not repaired: " << hollard::TTargetLock::HolderKind(holder, dir_)
          << " is running (" << holder << "); nothing was changed. Repair the table when it has ended.\n";
      return kExitInUse;
    }
    ovrin::TRepairOptions options;
    options.structure = KnownStructure(table_);
    ovrin::TRepairReport report;
    // An error in writing names no cause; a full disk is the usual one.
    auto diskFull = [&] {
      const std::string note = hollard::DiskFullNote(dir_);
      if (!note.empty()) err << note << "\n";
    };
    try {
      report = ovrin::RepairTable(path, options);
    } catch (const ovrin::EOvrinEngineError& e) {
      err << "hollard-archive: " << table_ << " was not repaired: " << e.Message() << "\n";
      if (e.ErrorCode() == ovrin::errWrite) diskFull();
      if (!ovrin::DataHeaderReadable(path))
        err << HeaderLostAdvice(table_) << "\n";
      else if (IsDamage(e.ErrorCode()) || e.ErrorCode() == ovrin::errRead)
        err << "The repair cannot get past this damage: " << BackupAdvice(table_) << "\n";
      return kExitFailure;
    }
    std::ofstream& log = log_;
    for (const std::string& line : report.log) {
      out << "  " << line << "\n";
      if (log.is_open()) log << line << "\n";
    }
    if (report.inUse) {
      err << "hollard-archive: " << table_ << " was not repaired: it is in use by another program; "
          << (report.log.empty() ? "nothing was changed" : "only the changes listed above were made") << "\n";
      return kExitInUse;
    }
    if (!report.refused.empty()) {
      err << "hollard-archive: " << report.refused << "\n";
      diskFull();
      if (log.is_open()) log << report.refused << "\n";
      return kExitFailure;
    }
    out << table_ << ": " << report.log.size() << " fix(es); " << report.liveRecords << " records, "
        << report.deletedRecords << " deleted, " << report.freeBlocks << " free blob blocks\n";
    if (report.remaining.empty()) {
      out << table_ << ": ok after the repair\n";
      return kExitOk;
    }
    out << table_ << ": still " << report.remaining.size() << " problem(s) after the repair, beyond what it mends:\n";
    for (const std::string& p : report.remaining) {
      out << "  " << p << "\n";
      if (log.is_open()) log << "Beyond the repair: " << p << "\n";
    }
    return kExitFailure;
  }

  // A file of the archive folder that the log must not be: a data, index or blob file of
  // any table (any letter case, the repair's scratch table NAME~repair among them), or an
  // index file the repair makes or keeps aside beside the table it mends (NAME.IDX.new,
  // NAME.IDX.damaged, ...): the log's open handle would follow a new one into the
  // table's place. An existing log file is compared by identity, so that
  // another spelling of the path, a symbolic link or a hard link is found; a new one by
  // the folder it would be made in (symbolic links followed, dangling ones too).
  std::string LogOverTableProblem() const {
    const std::string table = ovrin::AsciiUpper(table_);
    auto tableFile = [&](const fs::path& file) {
      const std::string name = ovrin::AsciiUpper(file.filename().string());
      // The index file kept aside or being made, and the records a repair cuts.
      return IsTableFileName(file) || name.rfind(table + ".IDX.", 0) == 0 || name.rfind(table + ".DAT.", 0) == 0;
    };
    std::error_code ec;
    fs::path log = logFile_;
    for (int links = 0; links < 40 && fs::is_symlink(fs::symlink_status(log, ec)); ++links) {
      fs::path target = fs::read_symlink(log, ec);
      if (ec) break;
      log = target.is_absolute() ? target : log.parent_path() / target;
    }
    if (fs::exists(log, ec)) {
      for (const auto& e : fs::directory_iterator(dir_, ec))
        if (tableFile(e.path()) && fs::equivalent(log, e.path(), ec))
          return "'" + logFile_ + "' is the archive's table file " + e.path().string() +
                 "; write the repair log outside the archive's tables";
      return {};
    }
    const fs::path folder = log.has_parent_path() ? log.parent_path() : fs::path(".");
    if (tableFile(log) && fs::equivalent(folder, dir_, ec))
      return "'" + logFile_ + "' would be a table file in the archive folder " + dir_ +
             "; write the repair log outside the archive's tables";
    return {};
  }

  std::string dir_, table_, logFile_;
  std::ofstream log_;
};

}  // namespace

namespace {

// The engine's own words for memory that could not be had.
std::string OutOfMemoryMessage() {
  return ovrin::EOvrinEngineError(ovrin::errNoMemory, ovrin::MessageForCode(ovrin::errNoMemory, {})).Message();
}

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app("hollard-archive: make, create, inspect, check, verify and repair archives", "hollard-archive");
  app.require_subcommand(1);
  app.set_version_flag("--version", [] { return VersionText("hollard-archive"); }, "Show the program's version and exit");
  app.footer(std::string(kExitCodes) + "\n\n" + kExamples);
  std::vector<std::unique_ptr<TCommand>> commands;
  commands.push_back(std::make_unique<TMakeSource>());
  commands.push_back(std::make_unique<TCreate>());
  commands.push_back(std::make_unique<TTables>());
  commands.push_back(std::make_unique<TSchema>());
  commands.push_back(std::make_unique<TDump>());
  commands.push_back(std::make_unique<TCheck>());
  commands.push_back(std::make_unique<TVerify>());
  commands.push_back(std::make_unique<TRepair>());
  for (auto& c : commands) c->Define(app);
  // The subcommand named on the command line, once parsing has seen it.
  auto named = [&]() -> TCommand* {
    for (auto& c : commands)
      if (c->app->parsed()) return c.get();
    return nullptr;
  };
  auto usage = [&](const std::string& message) {
    err << "hollard-archive: " << message << "\n";
    if (TCommand* c = named())
      err << "Run 'hollard-archive " << c->app->get_name() << " --help' for its arguments and options.\n";
    else
      err << "Run 'hollard-archive --help' for the commands.\n";
    return kExitUsage;
  };
  // The command is the first argument that is no option (the tool's own options take no
  // value). A name no command has is told as such, even with --help after it, which
  // would otherwise show the tool's help and report success.
  for (const std::string& a : args) {
    if (a == "--") break;
    if (!a.empty() && a[0] == '-') continue;
    if (std::none_of(commands.begin(), commands.end(), [&](const auto& c) { return c->app->get_name() == a; })) {
      std::string names;
      for (const auto& c : commands) names += (names.empty() ? "" : ", ") + c->app->get_name();
      return usage("unknown command '" + a + "'; the commands are: " + names);
    }
    break;
  }
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    // The help of the subcommand asked about, or of the tool.
    TCommand* c = named();
    out << (c ? c->app->help() : app.help());
    return kExitOk;
  } catch (const CLI::CallForVersion&) {
    out << VersionText("hollard-archive") << "\n";
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    return usage(e.what());
  }
  TCommand* c = named();
  if (!c) return usage("A subcommand is required");
  try {
    c->Check();
  } catch (const EUsageError& e) {
    return usage(e.what());
  }
  try {
    return c->Run(out, err);
  } catch (const EUsageError& e) {
    return usage(e.what());
  } catch (const ovrin::EOvrinEngineError& e) {
    err << "hollard-archive: " << e.Message() << "\n";
    if (std::string hint = c->DamageHint(e); !hint.empty()) err << hint << "\n";
    return kExitFailure;
  } catch (const ovrin::Exception& e) {
    err << "hollard-archive: " << e.Message() << "\n";
    return kExitFailure;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    err << "hollard-archive: " << e.what() << "\n";
    return kExitFailure;
  }
}

}  // namespace

int RunArchiveTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TCheckedOutput checked(out.rdbuf());
  std::ostream stream(&checked);
  int code;
  try {
    code = RunCommandLine(args, stream, err);
  } catch (const std::bad_alloc&) {
    // Everything the run held is released by now, so the message can be built.
    err << "hollard-archive: " << OutOfMemoryMessage() << "\n";
    code = kExitFailure;
  }
  // What the stream buffer still holds must reach its file before the run counts as
  // done. The caller's stream is flushed and asked too: a flush through a tied stream
  // (standard error flushes standard output first) fails there, not here.
  stream.flush();
  errno = 0;
  out.flush();
  const int flushError = errno;
  if (checked.Failed() || !stream || !out) {
    std::string reason = checked.Reason();
    if (reason.empty() && flushError != 0) reason = std::generic_category().message(flushError);
    err << "hollard-archive: cannot write the output: " << (reason.empty() ? "the output stream failed" : reason)
        << "\n";
    if (code == kExitOk) code = kExitFailure;
  }
  return code;
}

}  // namespace hollard

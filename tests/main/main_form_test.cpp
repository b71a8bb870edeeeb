// The main window on Qt's offscreen platform: its start state, the preflight boxes, a
// whole run whose questions a watcher answers through the window's own controls, a step
// whose source table cannot be opened, the log pane's plain text and summary, the run's
// options, a stop asked for during a run, passwords, the run lock, layout and keys.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "engine/base/conversions.h"
#include "engine/data/table_create.h"
#include "engine/table/session.h"
#include "engine/table/table.h"
#include "engine/data/checker.h"
#include "main/main_form.h"
#include "main/target_lock.h"
#include "tools/archive_verify.h"

#include <unicode/uloc.h>
#include "tests/support/file_bytes.h"
#include "tests/support/posix_locale.h"
#include "tests/support/temp_dir.h"
#include "tools/archive_schema.h"
#include "tools/source_generator.h"

using hollard::TMainForm;
namespace fs = std::filesystem;

namespace {

struct TBox {
  QString title, text;
  QMessageBox::Icon icon;
  bool defaultNo = false;  // a question box whose default button is No
};

// Closes every message box the window shows, remembering what it said, and answers the
// window's questions from a script (module -> projects to select, then OK; a module not
// in the script is skipped).
class TWatcher : public QObject {
 public:
  explicit TWatcher(TMainForm& form) : form_(form) {
    timer_.setInterval(2);
    connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
    timer_.start();
  }
  std::vector<TBox> boxes;
  std::map<QString, QStringList> answers;
  std::vector<QString> asked;
  std::function<void()> duringQuestion;  // runs once, at the first question, before it is answered
  // Answers question boxes (Yes/No): Yes when it returns true; No without it.
  std::function<bool(const QString&)> yes;
  bool controlsEnabledWhileAsking = true;
  bool setupDisabledWhileAsking = true;
  bool answerWithEnter = false;  // OK by the Enter key instead of a click

 private:
  void Tick() {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      const bool question = box->button(QMessageBox::Yes) != nullptr;
      boxes.push_back({box->windowTitle(), box->text(), box->icon(),
                       question && box->defaultButton() == box->button(QMessageBox::No)});
      if (!question) {
        box->done(QMessageBox::Ok);
        return;
      }
      const bool answer = yes && yes(box->text());
      box->button(answer ? QMessageBox::Yes : QMessageBox::No)->click();
      return;
    }
    if (form_.State() != TMainForm::TState::Question || form_.QuestionNumber() == answered_) return;
    if (duringQuestion) {
      // Run apart from this tick (a timer does not fire inside its own timeout, and what
      // it runs may show a box for this watcher to answer); the question waits for the
      // next tick.
      QTimer::singleShot(0, this, std::move(duringQuestion));
      duringQuestion = nullptr;
      return;
    }
    answered_ = form_.QuestionNumber();
    controlsEnabledWhileAsking &= form_.edModule->isEnabled() && form_.lbProjects->isEnabled() &&
                                  form_.btnOK->isEnabled() && form_.btnSkip->isEnabled() &&
                                  !form_.btnImport->isEnabled() && form_.btnExit->isEnabled();
    setupDisabledWhileAsking &= !form_.edSource->isEnabled() && !form_.edTarget->isEnabled() &&
                                !form_.SpeedButton1->isEnabled() && !form_.SpeedButton2->isEnabled() &&
                                !form_.cbDateFormat->isEnabled() && !form_.cbCodePage->isEnabled();
    QString module = form_.edModule->text();
    asked.push_back(module);
    auto it = answers.find(module);
    if (it == answers.end()) {
      QTest::mouseClick(form_.btnSkip, Qt::LeftButton);
      return;
    }
    for (const QString& project : it->second) {
      QList<QListWidgetItem*> items = form_.lbProjects->findItems(project, Qt::MatchExactly);
      if (!items.isEmpty()) items.front()->setSelected(true);
    }
    if (answerWithEnter)
      QTest::keyClick(form_.lbProjects, Qt::Key_Return);
    else
      QTest::mouseClick(form_.btnOK, Qt::LeftButton);
  }
  TMainForm& form_;
  QTimer timer_;
  int answered_ = 0;
};

// One "Success." per step procedure that succeeded; the labels procedure writes one after
// each of its two steps, the log step ends the run with "Success. Process ready." instead.
size_t SuccessLines(const hollard::TMigrationReport& report) {
  size_t n = 0;
  for (const auto& s : report.steps)
    if (s.succeeded) n += s.procedure == "ConvertLabels" ? 2 : s.procedure == "ConvertLogFile" ? 0 : 1;
  return n;
}

QStringList LogLines(TMainForm& form) { return form.DisplayMemo->toPlainText().split('\n'); }

std::vector<std::string> Column(const std::string& folder, const std::string& table, const std::string& field) {
  ovrin::TOvrinTable t;
  t.SetDatabaseName(folder);
  t.SetTableName(table);
  t.Open();
  std::vector<std::string> out;
  for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName(field).AsString());
  return out;
}

// The preflight's "\n\r" is one line break in the box and the log.
const QString kSourceMissing = "Source tables not found!\nSee Hollard online help topic \"Installation\"";
const QString kTargetMissing = "Target tables not found!\nSee Hollard online help topic \"Installation\"";

using ovrin::test::PosixLocale;

// Every control of the bottom panel lies wholly inside the window and has at least the
// height it needs.
bool PanelControlsVisible(TMainForm& form, QString* which) {
  for (QWidget* w : form.Panel1->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(&form) || w->parentWidget() != form.Panel1) continue;
    QRect r(w->mapTo(&form, QPoint(0, 0)), w->size());
    if (!form.rect().contains(r) || w->height() < w->minimumSizeHint().height()) {
      *which = w->objectName();
      return false;
    }
  }
  return true;
}

// Drags a splitter handle by dy pixels, as the mouse does.
void DragHandle(QSplitter* splitter, int dy) {
  QSplitterHandle* handle = splitter->handle(1);
  QPoint at = handle->rect().center();
  QMouseEvent press(QEvent::MouseButtonPress, at, handle->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(handle, &press);
  QPoint to = at + QPoint(0, dy);
  QMouseEvent move(QEvent::MouseMove, to, handle->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(handle, &move);
  QMouseEvent release(QEvent::MouseButtonRelease, to, handle->mapToGlobal(to), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(handle, &release);
  QApplication::processEvents();
}

void MakeEnciphered(const std::string& target, const std::string& table, const std::string& password) {
  for (const hollard::TArchiveTable& t : hollard::NewLayoutTables())
    if (t.name == table) {
      ovrin::TTableSpec def = t.def;
      def.Password = password;
      ovrin::TCreateOptions options;
      options.Replace = true;
      ovrin::CreateTable(target + "/" + table, def, options);
    }
}

// Types passwords into the password dialogs in turn (an empty optional cancels),
// remembering what each dialog said.
class TTypist : public QObject {
 public:
  explicit TTypist(std::vector<std::optional<QString>> script) : script_(std::move(script)) {
    timer_.setInterval(2);
    connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
    timer_.start();
  }
  std::vector<QString> prompts;
  bool masked = true;

 private:
  void Tick() {
    auto* dialog = qobject_cast<hollard::TPasswordDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    prompts.push_back(dialog->findChild<QLabel*>("lblPassword")->text());
    auto* edit = dialog->findChild<QLineEdit*>("edPassword");
    masked &= edit->echoMode() == QLineEdit::Password;
    std::optional<QString> next = prompts.size() <= script_.size() ? script_[prompts.size() - 1] : std::nullopt;
    if (!next) {
      dialog->reject();
      return;
    }
    edit->setText(*next);
    dialog->accept();
  }
  std::vector<std::optional<QString>> script_;
  QTimer timer_;
};

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

 private:
  // A small generated archive (of `revisions` stored revisions) and an empty new-layout
  // archive.
  void MakeArchives(const std::string& source, const std::string& target, int revisions = 40) {
    hollard::TSourceOptions o;
    o.revisions = revisions;
    o.modules = 12;
    o.projects = 3;
    o.blobBytes = 2000;
    // The window reads the side files' dates in the user's formats: write them so.
    ovrin::TFormatSettings user = ovrin::UserFormatSettings();
    o.dateFormat = user.ShortDateFormat;
    std::replace(o.dateFormat.begin(), o.dateFormat.end(), '/', user.DateSeparator);
    fs::create_directories(source);
    fs::create_directories(target);
    hollard::WriteSourceArchive(source, hollard::PlanSourceArchive(o), o);
    hollard::CreateNewLayoutArchive(target);
  }

 private slots:
  void startState() {
    TMainForm form;
    QCOMPARE(form.windowTitle(), QString("Hollard Paradox 1.4 -> Ovrin 2.0"));
    QCOMPARE(form.minimumSize(), QSize(400, 380));
    for (const char* name : {"DisplayMemo", "Splitter1", "Panel1", "Label1", "edSource", "SpeedButton1", "Label2",
                             "edTarget", "SpeedButton2", "lblMsg", "PB", "edModule", "lblSelect", "lbProjects", "btnOK",
                             "btnSkip", "btnImport", "btnExit"})
      QVERIFY2(form.findChild<QWidget*>(name) != nullptr, name);
    QVERIFY(form.findChild<QObject*>("BrowseDirectoryDlg1") != nullptr);
    QCOMPARE(form.Label1->text(), QString("Source (Paradox) folder"));
    QCOMPARE(form.Label2->text(), QString("Target (Ovrin) folder"));
    QCOMPARE(form.edSource->text(), QCoreApplication::applicationDirPath() + "/");
    QCOMPARE(form.edTarget->text(), QString());
    QCOMPARE(form.lblMsg->text(), QString("Progress"));
    QCOMPARE(form.lblMsg->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    QCOMPARE(form.PB->value(), 0);
    QCOMPARE(form.SpeedButton1->text(), QString("..."));
    QCOMPARE(form.SpeedButton2->toolTip(), QString("Browse"));
    QVERIFY(form.DisplayMemo->isReadOnly());
    QCOMPARE(form.DisplayMemo->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(form.cbDateFormat->currentText(), QString("Automatic"));
    QCOMPARE(form.cbCodePage->currentText(), QString("windows-1252"));
    QVERIFY(form.cbDateFormat->isEnabled());
    // Focus starts in the source folder's field.
    QCOMPARE(form.focusWidget(), static_cast<QWidget*>(form.edSource));
    QCOMPARE(form.lbProjects->selectionMode(), QAbstractItemView::MultiSelection);
    QVERIFY(!form.edModule->isEnabled());
    QVERIFY(!form.lbProjects->isEnabled());
    QVERIFY(!form.btnOK->isEnabled());
    QVERIFY(!form.btnSkip->isEnabled());
    QVERIFY(form.btnImport->isEnabled());
    QVERIFY(form.btnExit->isEnabled());
    QCOMPARE(form.btnOK->text(), QString("&OK"));
    QCOMPARE(form.btnSkip->text(), QString("&Skip"));
    QCOMPARE(form.edModule->palette().color(QPalette::Base), QApplication::palette().color(QPalette::Button));
    QCOMPARE(form.State(), TMainForm::TState::Idle);
  }

  void folderDialogs() {
    TMainForm form;
    QString preselected;
    std::optional<QString> answer = QString("/srv/old archive");
    form.BrowseDirectoryDlg1->chooser = [&](const QString& folder) {
      preselected = folder;
      return answer;
    };
    form.edSource->setText("/data/");
    QTest::mouseClick(form.SpeedButton1, Qt::LeftButton);
    QCOMPARE(preselected, QString("/data/"));
    QCOMPARE(form.edSource->text(), QString("/srv/old archive"));
    answer.reset();  // cancelled: the edit keeps its text
    form.edTarget->setText("/x");
    QTest::mouseClick(form.SpeedButton2, Qt::LeftButton);
    QCOMPARE(form.edTarget->text(), QString("/x"));
  }

  void preflightFailuresKeepTheButtons() {
    ovrin::test::TempDir dir;
    TMainForm form;
    TWatcher watcher(form);
    form.edSource->setText(QString::fromStdString(dir.Path()));
    form.edTarget->setText(QString::fromStdString(dir.Path()));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].title, QString("Hollard"));
    QCOMPARE(watcher.boxes[0].text, kSourceMissing);
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::Critical);
    QVERIFY(form.btnImport->isEnabled());
    QVERIFY(form.btnExit->isEnabled());
    QCOMPARE(form.State(), TMainForm::TState::Idle);
    // The box's text is in the log too, with one line break where the message has "\n\r".
    QCOMPARE(form.DisplayMemo->toPlainText(), "Error: " + kSourceMissing);

    MakeArchives(dir / "old", dir / "new");
    form.edSource->setText(QString::fromStdString(dir / "old"));
    form.edTarget->setText(QString::fromStdString(dir / "none"));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QCOMPARE(watcher.boxes.size(), size_t(2));
    QCOMPARE(watcher.boxes[1].text, kTargetMissing);
    QVERIFY(form.btnImport->isEnabled());
    QCOMPARE(form.State(), TMainForm::TState::Idle);
  }

  void fullRunAnsweredThroughTheWindow() {
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    MakeArchives(source, target);
    TMainForm form;
    form.show();
    TWatcher watcher(form);
    form.edSource->setText(QString::fromStdString(source + "/"));
    form.edTarget->setText(QString::fromStdString(target));
    bool closed = true;
    watcher.duringQuestion = [&] {
      // HOLLARD_SCREENSHOT=file.png keeps a picture of the window during its first
      // question (taken from the X server when the test runs under Xvfb).
      QByteArray shot = qgetenv("HOLLARD_SCREENSHOT");
      if (!shot.isEmpty()) {
        if (auto* first = form.lbProjects->item(0)) first->setSelected(true);
        QApplication::processEvents();
        QScreen* screen = QGuiApplication::primaryScreen();
        QPixmap picture = QGuiApplication::platformName() == "xcb" ? screen->grabWindow(form.winId()) : form.grab();
        picture.save(QString::fromLocal8Bit(shot));
      }
      closed = form.close();
    };
    // First shared module: two projects; the rest are skipped.
    watcher.answers["\\SRC\\FORM1.PAS"] = QStringList{"Main.dpr", "setup.dpr"};
    watcher.answers["\\forms\\Unit4.pas"] = QStringList{"Tools.dpr"};
    watcher.answerWithEnter = true;  // Enter means OK during a question: FORM1.PAS is shared below
    QTest::mouseClick(form.btnImport, Qt::LeftButton);

    QVERIFY(watcher.boxes.empty() == false);
    // The only box: the close request's question, answered No; the run went on.
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].text, QString("Stop the run after the record in hand?"));
    QCOMPARE(watcher.boxes[0].title, QString("Hollard"));
    QVERIFY(watcher.boxes[0].defaultNo);
    QVERIFY(!closed);
    QVERIFY(watcher.setupDisabledWhileAsking);
    QVERIFY(!watcher.asked.empty());
    QVERIFY(watcher.controlsEnabledWhileAsking);
    QCOMPARE(form.State(), TMainForm::TState::Done);
    QVERIFY(!form.btnImport->isEnabled());
    QVERIFY(form.btnExit->isEnabled());
    QVERIFY(!form.btnOK->isEnabled());
    QVERIFY(!form.lbProjects->isEnabled());
    QCOMPARE(form.lbProjects->count(), 0);
    QCOMPARE(form.lblMsg->text(), QString("Success. Process ready."));
    QStringList log = LogLines(form);
    // The summary, then the last line.
    QCOMPARE(log.last(), QString("Success. Process ready."));
    QCOMPARE(log.count("Success. Process ready."), 1);
    QVERIFY(log.filter(QRegularExpression("^Process finished at ")).size() == 1);
    QVERIFY(log.indexOf("Summary") > log.indexOf(QRegularExpression("^Process finished at ")));
    QVERIFY(log.contains("  Records added:"));
    QVERIFY(log.contains("  Steps:"));
    QCOMPARE(log.filter(QRegularExpression("^    \\S+ +Convert\\w+ +[0-9.]+ s  ok$")).size(), 11);
    QCOMPARE(log.value(0), QString("Hollard version archive conversion tool"));
    QCOMPARE(size_t(log.count("Success.")), SuccessLines(form.Report()));
    QVERIFY(log.contains("Sharing: \\SRC\\FORM1.PAS -> Main.dpr") || log.contains("Already assigned: \\SRC\\FORM1.PAS -> Main.dpr"));
    QVERIFY(log.contains("Sharing: \\SRC\\FORM1.PAS -> setup.dpr") || log.contains("Already assigned: \\SRC\\FORM1.PAS -> setup.dpr"));
    QVERIFY(!form.Report().Failed());
    // Each marked module was asked about once per step, by its key as the list keeps it.
    QCOMPARE(std::count(watcher.asked.begin(), watcher.asked.end(), QString("\\SRC\\FORM1.PAS")), 1);
    QCOMPARE(std::count(watcher.asked.begin(), watcher.asked.end(), QString("\\forms\\Unit4.pas")), 1);
    // One link per module (two of the twelve differ only in case), and one per "Sharing:".
    QCOMPARE(Column(target, "pjmodule", "HIDDEN").size(), size_t(11 + log.filter("Sharing: ").size()));
    // Done: Exit closes the window.
    QTest::mouseClick(form.btnExit, Qt::LeftButton);
    QVERIFY(!form.isVisible());
  }

  // The three ways through the password dialog of an enciphered target table.
  void passwordDialogForAnEncipheredTarget() {
    struct TCase {
      const char* name;
      std::vector<std::optional<QString>> typed;
    };
    for (const TCase& c : {TCase{"right", {QString("s3cret")}},
                           TCase{"wrong then right", {QString("guess"), QString("s3cret")}},
                           TCase{"cancel", {std::nullopt}}}) {
      ovrin::test::TempDir dir;
      std::string source = dir / "old", target = dir / "new";
      MakeArchives(source, target);
      MakeEnciphered(target, "projects", "s3cret");
      TMainForm form;
      TWatcher watcher(form);
      TTypist typist(c.typed);
      form.edSource->setText(QString::fromStdString(source));
      form.edTarget->setText(QString::fromStdString(target));
      QTest::mouseClick(form.btnImport, Qt::LeftButton);
      ovrin::Sessions().Default().RemoveAllPasswords();
      QVERIFY2(typist.masked, c.name);
      // Every dialog names the table; only one after a wrong password says so.
      QCOMPARE(typist.prompts.size(), c.typed.size());
      for (size_t i = 0; i < typist.prompts.size(); ++i) {
        QVERIFY2(typist.prompts[i].contains(QString::fromStdString(target)) && typist.prompts[i].contains("projects"),
                 qPrintable(typist.prompts[i]));
        QCOMPARE(typist.prompts[i].contains("does not open"), i > 0);
      }
      const hollard::TMigrationReport& report = form.Report();
      QStringList log = LogLines(form);
      if (c.typed.back()) {
        QVERIFY2(watcher.boxes.empty(), c.name);
        QVERIFY(!report.Failed());
        QCOMPARE(size_t(log.count("Success.")), SuccessLines(report));
        QCOMPARE(log.last(), QString("Success. Process ready."));
        continue;
      }
      // Cancel: no further dialog; each step that needs the table fails once, with a box
      // that says it was left out, and the log and summary say the same.
      QVERIFY(report.Failed());
      int failed = 0;
      for (const auto& step : report.steps) {
        if (step.succeeded) continue;
        ++failed;
        QCOMPARE(step.errors.size(), size_t(1));
      }
      QVERIFY(failed > 0);
      QCOMPARE(watcher.boxes.size(), size_t(failed));
      for (const TBox& box : watcher.boxes) {
        QVERIFY2(box.text.contains("left out of this run"), qPrintable(box.text));
        QVERIFY(log.contains("Error: " + box.text.split('\n').front()));
      }
      QCOMPARE(log.filter(QRegularExpression("  FAILED$")).size(), failed);
      QCOMPARE(log.last(), QString("Finished with %1 failed step%2.").arg(failed).arg(failed == 1 ? "" : "s"));
      QCOMPARE(form.lblMsg->text(), log.last());
      QVERIFY(!log.contains("Success. Process ready."));
    }
  }

  // Archive texts reach the log pane as the terminal prints them: markup, runs of blanks
  // and entities are not rich text.
  void logShowsArchiveTextLiterally() {
    TMainForm form;
    hollard::TMigrationUser& user = form;
    TWatcher watcher(form);
    user.AddLogLine("Adding <b>bold</b>", false);
    user.AddLogLine("a    b  &lt; &amp; <i>", true);
    user.AddLogLine("", false);
    user.ShowError("<b>x</b>   &lt;");
    QCOMPARE(LogLines(form),
             QStringList({"Adding <b>bold</b>", "a    b  &lt; &amp; <i>", "", "Error: <b>x</b>   &lt;"}));
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].text, QString("<b>x</b>   &lt;"));
  }

  // The same through a run: a history-log line with markup, as the step logs it.
  void logShowsArchiveMarkupOfARunLiterally() {
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    MakeArchives(source, target);
    std::string history = ovrin::test::FileBytes(source + "/hollardm.log");
    const size_t end = history.find(" > [");
    QVERIFY(end != std::string::npos);
    const std::string stamp = history.substr(history.rfind('\n', end) + 1, end - history.rfind('\n', end) - 1);
    const std::string line = stamp + " > [Bob] Main.dpr - <b>bold</b>   three  &lt;blanks&gt;";
    {
      std::ofstream out(source + "/hollardm.log", std::ios::binary | std::ios::app);
      out << line << "\r\n";
    }
    TMainForm form;
    TWatcher watcher(form);
    form.edSource->setText(QString::fromStdString(source));
    form.edTarget->setText(QString::fromStdString(target));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QVERIFY(watcher.boxes.empty());
    QVERIFY2(LogLines(form).contains("Converting " + QString::fromStdString(line)),
             qPrintable(LogLines(form).filter("Converting").mid(0, 3).join('\n')));
  }

  // A run under the POSIX locale (month/day/year) of the demo archive, written in
  // dd.mm.yyyy, with the date format left at Automatic: every history-log and ToDo record
  // arrives, and the log states the format found.
  void automaticDateFormatUnderThePosixLocaleLosesNothing() {
    PosixLocale posix;
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    hollard::TSourceOptions o;  // the demo's archive
    o.blobBytes = 4000;
    fs::create_directories(source);
    fs::create_directories(target);
    hollard::WriteSourceArchive(source, hollard::PlanSourceArchive(o), o);
    hollard::CreateNewLayoutArchive(target);
    TMainForm form;
    TWatcher watcher(form);
    form.edSource->setText(QString::fromStdString(source));
    form.edTarget->setText(QString::fromStdString(target));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QVERIFY(watcher.boxes.empty());
    QVERIFY(!form.Report().Failed());
    QCOMPARE(Column(target, "vcslog", "LOGID").size(), size_t(200));
    QVERIFY(form.Report().added.at("todo") > 0);
    QStringList log = LogLines(form);
    QVERIFY2(!log.filter(QRegularExpression("^Dates read as dd\\.mm\\.yyyy, time separator ':' \\(found automatically")).isEmpty(),
             qPrintable(log.mid(0, 12).join('\n')));
    hollard::TVerifyOptions options;
    options.settings = ovrin::UserFormatSettings();
    hollard::TVerifyReport verified = hollard::VerifyMigration(source, target, options);
    QVERIFY2(verified.Ok(), verified.lost.empty() ? "" : verified.lost.front().c_str());
  }

  // The options are checked before anything runs: a date pattern that is none, a date
  // format the archive's dates do not read in, an unknown code page.
  void optionsRefusedBeforeAnythingRuns() {
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    MakeArchives(source, target);  // dates in the user's format
    auto before = ovrin::test::FolderBytes(target);
    struct TCase {
      QString dateFormat, codePage, boxStarts;
    };
    for (const TCase& c : {TCase{"dd-yyyy", "windows-1252", "Date format 'dd-yyyy': expected day, month and year"},
                           TCase{"Automatic", "no-such-page", "Code page 'no-such-page': "},
                           TCase{"yyyy-mm-dd", "windows-1252", ""}}) {
      TMainForm form;
      TWatcher watcher(form);
      form.cbDateFormat->setCurrentText(c.dateFormat);
      form.cbCodePage->setCurrentText(c.codePage);
      form.edSource->setText(QString::fromStdString(source));
      form.edTarget->setText(QString::fromStdString(target));
      QTest::mouseClick(form.btnImport, Qt::LeftButton);
      QCOMPARE(watcher.boxes.size(), size_t(1));
      QVERIFY2(watcher.boxes[0].text.startsWith(c.boxStarts), qPrintable(watcher.boxes[0].text));
      QVERIFY2(watcher.boxes[0].text.contains("Nothing was written."), qPrintable(watcher.boxes[0].text));
      QCOMPARE(LogLines(form).value(0), "Error: " + watcher.boxes[0].text.split('\n').front());
      QCOMPARE(form.State(), TMainForm::TState::Idle);
      QVERIFY(form.btnImport->isEnabled());
      QVERIFY(form.edSource->isEnabled() && form.cbDateFormat->isEnabled());
      QVERIFY(ovrin::test::FolderBytes(target) == before);
    }
  }

  // Exit during step 10, confirmed: the run stops between two records, every target
  // table is sound, the summary is in the log, and the window stays open until Exit.
  void stopDuringStepTen() {
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    MakeArchives(source, target, 600);
    TMainForm form;
    form.show();
    TWatcher watcher(form);
    watcher.yes = [](const QString& text) { return text == "Stop the run after the record in hand?"; };
    // Exit is clicked when step 10 has begun (the window processes events at the start of
    // every step); the watcher answers the question that follows with Yes.
    bool exited = false;
    QTimer trigger;
    trigger.setInterval(0);
    connect(&trigger, &QTimer::timeout, this, [&] {
      if (exited || form.State() != TMainForm::TState::Running || !form.lblMsg->text().contains("Step 10/")) return;
      exited = true;
      QTest::mouseClick(form.btnExit, Qt::LeftButton);
    });
    trigger.start();
    form.edSource->setText(QString::fromStdString(source));
    form.edTarget->setText(QString::fromStdString(target));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QVERIFY(exited);
    QCOMPARE(form.Report().stoppedAtStep, 10);
    QVERIFY(!form.Report().Failed());
    QVERIFY(form.isVisible());
    QCOMPARE(form.State(), TMainForm::TState::Done);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QStringList log = LogLines(form);
    QVERIFY(log.contains("Stopped at step 10."));
    QVERIFY(log.contains("Summary"));
    QVERIFY(log.contains("  Stopped at step 10; every table was closed."));
    QCOMPARE(log.last(), QString("Stopped at step 10."));
    QVERIFY(Column(target, "revision", "REVISIONID").size() < size_t(600));
    for (const hollard::TArchiveTable& t : hollard::NewLayoutTables()) {
      ovrin::TCheckReport check = ovrin::CheckTable(target + "/" + t.name);
      QVERIFY2(check.Ok(), t.name.c_str());
    }
    // The window is usable: Exit closes it now.
    QVERIFY(form.btnExit->isEnabled());
    QTest::mouseClick(form.btnExit, Qt::LeftButton);
    QVERIFY(!form.isVisible());
  }

  // Closing the window during a question, confirmed: the question is answered with Skip,
  // no further question is asked and the run stops in that step; the window stays open.
  void closeDuringAQuestionSkipsItAndStops() {
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    MakeArchives(source, target);
    TMainForm form;
    form.show();
    TWatcher watcher(form);
    watcher.yes = [](const QString& text) { return text == "Stop the run after the record in hand?"; };
    bool closed = true;
    watcher.duringQuestion = [&] { closed = form.close(); };
    form.edSource->setText(QString::fromStdString(source));
    form.edTarget->setText(QString::fromStdString(target));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QVERIFY(!closed);
    QVERIFY(form.isVisible());
    QCOMPARE(form.QuestionNumber(), 1);
    QVERIFY(watcher.asked.empty());  // the watcher never answered: the stop did, with Skip
    // Stopped in the step procedure that asked (shared modules 6-7 or hidden 8-9).
    const hollard::TStepOutcome& last = form.Report().steps.back();
    QVERIFY(last.stopped);
    QVERIFY(form.Report().stoppedAtStep >= last.firstStep && form.Report().stoppedAtStep <= last.lastStep);
    QVERIFY(last.procedure == "ConvertSharedDependencies" || last.procedure == "ConvertHiddenDependencies");
    QCOMPARE(LogLines(form).last(), QString("Stopped at step %1.").arg(form.Report().stoppedAtStep));
    QCOMPARE(form.State(), TMainForm::TState::Done);
    QVERIFY(!form.lbProjects->isEnabled());
    QTest::mouseClick(form.btnExit, Qt::LeftButton);
    QVERIFY(!form.isVisible());
  }

  // The core's question before writing: a box with Yes and No, No the default.
  void runAnywayQuestion() {
    TMainForm form;
    hollard::TMigrationUser& user = form;
    TWatcher watcher(form);
    const std::string text = "The target already holds projects of this archive: Main.dpr.";
    QVERIFY(!user.AskRunAnyway(text));
    watcher.yes = [](const QString&) { return true; };
    QVERIFY(user.AskRunAnyway(text));
    QCOMPARE(watcher.boxes.size(), size_t(2));
    for (const TBox& box : watcher.boxes) {
      QCOMPARE(box.title, QString("Hollard"));
      QCOMPARE(box.icon, QMessageBox::Question);
      QVERIFY(box.defaultNo);
      QCOMPARE(box.text, QString::fromStdString(text) + "\n\nRun anyway?");
    }
    QStringList log = LogLines(form);
    QCOMPARE(log.count(QString::fromStdString(text)), 2);
    QCOMPARE(log.count("Run anyway? No"), 1);
    QCOMPARE(log.count("Run anyway? Yes"), 1);
  }

  // A second run of one archive: the core's guard asks through the window; No writes
  // nothing and leaves the window idle, Yes runs.
  void runAnywayThroughAWholeRun() {
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    MakeArchives(source, target);
    {
      TMainForm first;
      TWatcher watcher(first);
      first.edSource->setText(QString::fromStdString(source));
      first.edTarget->setText(QString::fromStdString(target));
      QTest::mouseClick(first.btnImport, Qt::LeftButton);
      QVERIFY(!first.Report().Failed());
    }
    auto before = ovrin::test::FolderBytes(target);
    before.erase(".hollard-migrate.lock");
    TMainForm form;
    TWatcher watcher(form);
    form.edSource->setText(QString::fromStdString(source));
    form.edTarget->setText(QString::fromStdString(target));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QVERIFY(!watcher.boxes.empty());
    QVERIFY2(watcher.boxes[0].text.startsWith("The target already holds projects of this archive:"),
             qPrintable(watcher.boxes[0].text));
    QVERIFY(watcher.boxes[0].text.endsWith("\n\nRun anyway?"));
    QVERIFY(form.Report().preflightFailed);
    auto after = ovrin::test::FolderBytes(target);
    after.erase(".hollard-migrate.lock");
    QVERIFY(after == before);
    QCOMPARE(form.State(), TMainForm::TState::Idle);
    // Yes: the archive goes in a second time.
    watcher.yes = [](const QString&) { return true; };
    watcher.boxes.clear();
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QVERIFY(!form.Report().preflightFailed);
    QVERIFY(!form.Report().Failed());
  }

  // Another run holding the target's lock: one box naming it, nothing run or written.
  void anotherRunHoldsTheTarget() {
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    MakeArchives(source, target);
    hollard::TTargetLock other;
    std::string detail;
    QVERIFY(other.Acquire(target + "/", &detail) == hollard::TTargetLock::TResult::Taken);
    auto before = ovrin::test::FolderBytes(target);
    TMainForm form;
    TWatcher watcher(form);
    form.edSource->setText(QString::fromStdString(source));
    form.edTarget->setText(QString::fromStdString(target));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QVERIFY2(watcher.boxes[0].text.startsWith("Another migration into " + QString::fromStdString(target) +
                                              " is running (process "),
             qPrintable(watcher.boxes[0].text));
    QVERIFY(watcher.boxes[0].text.contains("Nothing was written."));
    QCOMPARE(form.State(), TMainForm::TState::Idle);
    QVERIFY(form.Report().steps.empty());
    QVERIFY(ovrin::test::FolderBytes(target) == before);
  }

  // The splitter resizes the log pane; the bottom panel never loses a control.
  void splitterDragKeepsEveryControlVisible() {
    TMainForm form;
    form.resize(640, 520);
    form.show();
    QApplication::processEvents();
    QString which;
    QVERIFY2(PanelControlsVisible(form, &which), qPrintable(which));
    const int memo = form.DisplayMemo->height();
    DragHandle(form.Splitter1, -80);
    QVERIFY2(form.DisplayMemo->height() <= memo - 60, qPrintable(QString::number(form.DisplayMemo->height())));
    QVERIFY2(PanelControlsVisible(form, &which), qPrintable(which));
    DragHandle(form.Splitter1, 400);
    QVERIFY2(PanelControlsVisible(form, &which), qPrintable(which));
    QVERIFY(form.DisplayMemo->height() >= memo);
    // The smallest window still shows them all.
    form.resize(form.minimumSize());
    QApplication::processEvents();
    QVERIFY2(PanelControlsVisible(form, &which), qPrintable(which));
  }

  // Enter in a folder field starts Import once both folders are given.
  void enterStartsImport() {
    ovrin::test::TempDir dir;
    TMainForm form;
    form.show();
    TWatcher watcher(form);
    form.edSource->setText(QString::fromStdString(dir.Path()));
    form.edTarget->clear();
    QTest::keyClick(form.edSource, Qt::Key_Return);
    QVERIFY(watcher.boxes.empty());
    form.edTarget->setText(QString::fromStdString(dir.Path()));
    QTest::keyClick(form.edTarget, Qt::Key_Return);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QCOMPARE(watcher.boxes[0].text, kSourceMissing);
  }

  void firstSizeFitsTheScreen() {
    QCOMPARE(TMainForm::FirstSize(QSize(1920, 1040)), QSize(640, 520));
    // 1366 by 768 at 150 %: 911 by 512 less a task bar.
    QSize small = TMainForm::FirstSize(QSize(911, 472));
    QCOMPARE(small.width(), 640);
    QVERIFY(small.height() + 30 <= 472);
    QCOMPARE(TMainForm::FirstSize(QSize(300, 300)), QSize(400, 380));
    TMainForm form;
    QSize available = QGuiApplication::primaryScreen()->availableGeometry().size();
    QCOMPARE(form.size(), TMainForm::FirstSize(available));
  }

  // A source table that does not open stops the preflight: one box naming it, nothing
  // written, the window as it was (the run used to go on and show a second box, "Cannot
  // perform this operation on a closed dataset").
  void aSourceTableThatCannotOpen() {
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    MakeArchives(source, target);
    fs::remove(source + "/hollardp.db");
    auto before = ovrin::test::FolderBytes(target);
    TMainForm form;
    TWatcher watcher(form);
    form.edSource->setText(QString::fromStdString(source));
    form.edTarget->setText(QString::fromStdString(target));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QCOMPARE(watcher.boxes.size(), size_t(1));
    QVERIFY2(watcher.boxes[0].text.contains("hollardp"), qPrintable(watcher.boxes[0].text));
    QVERIFY2(watcher.boxes[0].text.contains("Nothing was written."), qPrintable(watcher.boxes[0].text));
    QCOMPARE(watcher.boxes[0].title, QString("Hollard"));
    QVERIFY(form.Report().preflightFailed);
    QVERIFY(form.Report().steps.empty());
    QVERIFY(form.btnImport->isEnabled());
    QCOMPARE(form.State(), TMainForm::TState::Idle);
    QVERIFY(ovrin::test::FolderBytes(target) == before);
  }
};

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  QApplication::setApplicationName("Hollard");
  MainFormTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "main_form_test.moc"

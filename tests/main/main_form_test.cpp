// The main window on Qt's offscreen platform: its start state, the preflight boxes, a
// whole run whose questions a watcher answers through the window's own controls, a step
// whose source table cannot be opened, and a close request during a run.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "engine/base/conversions.h"
#include "engine/data/table_create.h"
#include "engine/table/session.h"
#include "engine/table/table.h"
#include "main/main_form.h"
#include "tests/support/file_bytes.h"
#include "tests/support/temp_dir.h"
#include "tools/archive_schema.h"
#include "tools/source_generator.h"

using hollard::TMainForm;
namespace fs = std::filesystem;

namespace {

struct TBox {
  QString title, text;
  QMessageBox::Icon icon;
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
  std::function<void()> duringQuestion;  // runs once, at the first question
  bool controlsEnabledWhileAsking = true;

 private:
  void Tick() {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      boxes.push_back({box->windowTitle(), box->text(), box->icon()});
      box->done(QMessageBox::Ok);
      return;
    }
    if (form_.State() != TMainForm::TState::Question || form_.QuestionNumber() == answered_) return;
    answered_ = form_.QuestionNumber();
    if (duringQuestion) {
      auto f = std::move(duringQuestion);
      duringQuestion = nullptr;
      f();
    }
    controlsEnabledWhileAsking &= form_.edModule->isEnabled() && form_.lbProjects->isEnabled() &&
                                  form_.btnOK->isEnabled() && form_.btnSkip->isEnabled() &&
                                  !form_.btnImport->isEnabled() && !form_.btnExit->isEnabled();
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

const QString kSourceMissing = "Source tables not found!\n\rSee Hollard online help topic \"Installation\"";
const QString kTargetMissing = "Target tables not found!\n\rSee Hollard online help topic \"Installation\"";

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

 private:
  // A small generated archive and an empty new-layout archive.
  void MakeArchives(const std::string& source, const std::string& target) {
    hollard::TSourceOptions o;
    o.revisions = 40;
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
    QCOMPARE(form.Panel1->height(), 223);
    QVERIFY(form.DisplayMemo->isReadOnly());
    QCOMPARE(form.DisplayMemo->lineWrapMode(), QTextEdit::NoWrap);
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
    QVERIFY(form.DisplayMemo->toPlainText().isEmpty());

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
      closed = form.close();
      // HOLLARD_SCREENSHOT=file.png keeps a picture of the window during its first
      // question (taken from the X server when the test runs under Xvfb).
      QByteArray shot = qgetenv("HOLLARD_SCREENSHOT");
      if (shot.isEmpty()) return;
      if (auto* first = form.lbProjects->item(0)) first->setSelected(true);
      QApplication::processEvents();
      QScreen* screen = QGuiApplication::primaryScreen();
      QPixmap picture = QGuiApplication::platformName() == "xcb" ? screen->grabWindow(form.winId()) : form.grab();
      picture.save(QString::fromLocal8Bit(shot));
    };
    // First shared module: two projects; the rest are skipped.
    watcher.answers["\\SRC\\FORM1.PAS"] = QStringList{"Main.dpr", "setup.dpr"};
    watcher.answers["\\forms\\Unit4.pas"] = QStringList{"Tools.dpr"};
    QTest::mouseClick(form.btnImport, Qt::LeftButton);

    QVERIFY(watcher.boxes.empty());
    QVERIFY(!closed);  // a close request during the run is refused
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
    QVERIFY(log.contains("Success. Process ready."));
    QVERIFY(log.last().startsWith("Process finished at "));
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

  void passwordDialogForAnEncipheredTarget() {
    ovrin::test::TempDir dir;
    std::string source = dir / "old", target = dir / "new";
    MakeArchives(source, target);
    for (const hollard::TArchiveTable& t : hollard::NewLayoutTables())
      if (t.name == "projects") {
        ovrin::TTableSpec def = t.def;
        def.Password = "s3cret";
        ovrin::TCreateOptions options;
        options.Replace = true;
        ovrin::CreateTable(target + "/projects", def, options);
      }
    TMainForm form;
    TWatcher watcher(form);
    int prompts = 0;
    QTimer typist;
    typist.setInterval(2);
    connect(&typist, &QTimer::timeout, this, [&] {
      auto* dialog = qobject_cast<hollard::TPasswordDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      ++prompts;
      auto* edit = dialog->findChild<QLineEdit*>("edPassword");
      QCOMPARE(edit->echoMode(), QLineEdit::Password);
      edit->setText("s3cret");
      dialog->accept();
    });
    typist.start();
    form.edSource->setText(QString::fromStdString(source));
    form.edTarget->setText(QString::fromStdString(target));
    QTest::mouseClick(form.btnImport, Qt::LeftButton);
    QCOMPARE(prompts, 1);  // the session keeps the password for the later steps
    QVERIFY(watcher.boxes.empty());
    QCOMPARE(size_t(LogLines(form).count("Success.")), SuccessLines(form.Report()));
    ovrin::Sessions().Default().RemoveAllPasswords();
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

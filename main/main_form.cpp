#include "main/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <sstream>

#include "engine/base/platform.h"
#include "main/run_summary.h"
#include "main/target_lock.h"

namespace hollard {

namespace {

const QColor kNavy(0, 0, 128);

// Gives a control the palette's button-face colour (idle) or window colour (asking).
void Tint(QWidget* w, bool asking) {
  QPalette p = w->palette();
  QColor c = QApplication::palette().color(asking ? QPalette::Base : QPalette::Button);
  p.setColor(QPalette::Active, QPalette::Base, c);
  p.setColor(QPalette::Inactive, QPalette::Base, c);
  p.setColor(QPalette::Disabled, QPalette::Base, c);
  w->setPalette(p);
}

template <typename T>
T* Named(T* w, const char* name) {
  w->setObjectName(name);
  return w;
}

// How often at most the gathered log lines go into the pane (about twenty times a
// second), and how often at most pending events are processed during a run.
constexpr qint64 kFlushMs = 50;
constexpr qint64 kEventsMs = 20;

// The core ends a run whose last step succeeded with this line; the window puts its own
// last line after the summary instead.
const char* const kReady = "Success. Process ready.";

// A text as a box and the log show it: the old message convention "\n\r" is one line break.
QString Readable(const std::string& text) {
  QString t = QString::fromStdString(text);
  t.replace(QStringLiteral("\n\r"), QStringLiteral("\n"));
  return t;
}

}  // namespace

// ------------------------------------------------------------------ dialogs

TBrowseDirectoryDlg::TBrowseDirectoryDlg(QWidget* owner) : QObject(owner), owner_(owner) {
  setObjectName("BrowseDirectoryDlg1");
}

std::optional<QString> TBrowseDirectoryDlg::Execute(const QString& folder) {
  if (chooser) return chooser(folder);
  QString chosen = QFileDialog::getExistingDirectory(owner_, QString(), folder);
  if (chosen.isEmpty()) return std::nullopt;
  return chosen;
}

TPasswordDialog::TPasswordDialog(QWidget* parent, const QString& table, bool wrongBefore) : QDialog(parent) {
  setObjectName("PasswordDialog");
  setWindowTitle("Password");
  auto* layout = new QVBoxLayout(this);
  QString text = "The table " + table + " is protected by a password.\n";
  if (wrongBefore) text += "The password given does not open it.\n";
  text += "Enter its password (Cancel leaves the table out of this run):";
  auto* label = Named(new QLabel(text), "lblPassword");
  layout->addWidget(label);
  edPassword_ = Named(new QLineEdit, "edPassword");
  edPassword_->setEchoMode(QLineEdit::Password);
  layout->addWidget(edPassword_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

QString TPasswordDialog::Password() const { return edPassword_->text(); }

// ------------------------------------------------------------------ the window

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
  setObjectName("MainForm");
  setMinimumSize(400, 380);
  QScreen* screen = QGuiApplication::primaryScreen();
  resize(screen ? FirstSize(screen->availableGeometry().size()) : QSize(640, 520));

  // Plain text, never guessed to be rich text: archive texts show as they are.
  DisplayMemo = Named(new QPlainTextEdit, "DisplayMemo");
  DisplayMemo->setReadOnly(true);
  DisplayMemo->setUndoRedoEnabled(false);
  DisplayMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  DisplayMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  DisplayMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  Panel1 = Named(new QFrame, "Panel1");
  Panel1->setFrameShape(QFrame::NoFrame);

  Label1 = Named(new QLabel("Source (Paradox) folder"), "Label1");
  edSource = Named(new QLineEdit, "edSource");
  SpeedButton1 = Named(new QToolButton, "SpeedButton1");
  SpeedButton1->setText("...");
  SpeedButton1->setToolTip("Browse");
  Label2 = Named(new QLabel("Target (Ovrin) folder"), "Label2");
  edTarget = Named(new QLineEdit, "edTarget");
  SpeedButton2 = Named(new QToolButton, "SpeedButton2");
  SpeedButton2->setText("...");
  SpeedButton2->setToolTip("Browse");
  lblMsg = Named(new QLabel("Progress"), "lblMsg");
  QPalette navyText = lblMsg->palette();
  navyText.setColor(QPalette::WindowText, kNavy);
  lblMsg->setPalette(navyText);
  PB = Named(new QProgressBar, "PB");
  PB->setMinimum(0);
  PB->setMaximum(1);
  PB->setValue(0);
  PB->setTextVisible(true);
  QPalette navyBar = PB->palette();
  navyBar.setColor(QPalette::Highlight, kNavy);
  PB->setPalette(navyBar);
  edModule = Named(new QLineEdit, "edModule");
  edModule->setReadOnly(true);
  lblSelect = Named(new QLabel, "lblSelect");
  lbProjects = Named(new QListWidget, "lbProjects");
  lbProjects->setSelectionMode(QAbstractItemView::MultiSelection);
  btnOK = Named(new QPushButton("&OK"), "btnOK");
  btnSkip = Named(new QPushButton("&Skip"), "btnSkip");
  btnImport = Named(new QPushButton("Import"), "btnImport");
  btnExit = Named(new QPushButton("Exit"), "btnExit");
  BrowseDirectoryDlg1 = new TBrowseDirectoryDlg(this);
  lblDateFormat = Named(new QLabel("Date format"), "lblDateFormat");
  cbDateFormat = Named(new QComboBox, "cbDateFormat");
  cbDateFormat->setEditable(true);
  cbDateFormat->setInsertPolicy(QComboBox::NoInsert);
  cbDateFormat->addItems({"Automatic", "dd.mm.yyyy", "dd/mm/yyyy", "mm/dd/yyyy", "yyyy-mm-dd"});
  cbDateFormat->setToolTip("How the archive's dates are written: Automatic (found from its dated texts) or a "
                           "pattern of day, month and year with one separator");
  lblDateFormat->setBuddy(cbDateFormat);
  lblCodePage = Named(new QLabel("Code page"), "lblCodePage");
  cbCodePage = Named(new QComboBox, "cbCodePage");
  cbCodePage->setEditable(true);
  cbCodePage->setInsertPolicy(QComboBox::NoInsert);
  cbCodePage->addItems({"windows-1252", "windows-1250", "windows-1251", "windows-1253", "windows-1254", "iso-8859-1",
                        "iso-8859-15", "utf-8"});
  cbCodePage->setToolTip("The code page the archive's texts are written in");
  lblCodePage->setBuddy(cbCodePage);

  auto* grid = new QGridLayout(Panel1);
  grid->setContentsMargins(6, 4, 6, 4);
  grid->addWidget(Label1, 0, 0, 1, 2);
  grid->addWidget(edSource, 1, 0);
  grid->addWidget(SpeedButton1, 1, 1);
  grid->addWidget(Label2, 2, 0, 1, 2);
  grid->addWidget(edTarget, 3, 0);
  grid->addWidget(SpeedButton2, 3, 1);
  grid->addWidget(lblMsg, 4, 0, 1, 2);
  grid->addWidget(PB, 5, 0, 1, 2);
  auto* question = new QVBoxLayout;
  question->addWidget(lblSelect);
  question->addWidget(edModule);
  question->addWidget(lbProjects, 1);
  grid->addLayout(question, 0, 2, 6, 1);
  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {btnOK, btnSkip, btnImport, btnExit}) buttons->addWidget(b);
  buttons->addStretch(1);
  grid->addLayout(buttons, 0, 3, 6, 1);
  auto* options = new QHBoxLayout;
  options->addWidget(lblDateFormat);
  options->addWidget(cbDateFormat, 1);
  options->addSpacing(12);
  options->addWidget(lblCodePage);
  options->addWidget(cbCodePage, 1);
  grid->addLayout(options, 6, 0, 1, 4);
  grid->setColumnStretch(0, 3);
  grid->setColumnStretch(2, 2);
  // The panel keeps every control visible: the splitter gives the log pane what is left.
  Panel1->setMinimumHeight(grid->minimumSize().height());

  Splitter1 = Named(new QSplitter(Qt::Vertical), "Splitter1");
  Splitter1->addWidget(DisplayMemo);
  Splitter1->addWidget(Panel1);
  Splitter1->setStretchFactor(0, 1);
  Splitter1->setStretchFactor(1, 0);
  Splitter1->setChildrenCollapsible(false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Splitter1);
  // The panel starts at the height its controls need; the log pane takes the rest.
  Splitter1->setSizes({std::max(height() - Panel1->minimumHeight(), 1), Panel1->minimumHeight()});

  connect(SpeedButton1, &QToolButton::clicked, this, &TMainForm::SpeedButton1Click);
  connect(SpeedButton2, &QToolButton::clicked, this, &TMainForm::SpeedButton2Click);
  connect(btnImport, &QPushButton::clicked, this, &TMainForm::btnImportClick);
  connect(btnOK, &QPushButton::clicked, this, &TMainForm::btnOKClick);
  connect(btnSkip, &QPushButton::clicked, this, &TMainForm::btnSkipClick);
  connect(btnExit, &QPushButton::clicked, this, &TMainForm::btnExitClick);
  FormCreate();
}

TMainForm::~TMainForm() = default;

QSize TMainForm::FirstSize(const QSize& available) {
  // Room is left for the window's frame and title bar, which the available area includes.
  const int width = std::max(400, std::min(640, available.width() - 16));
  const int height = std::max(380, std::min(520, available.height() - 40));
  return QSize(width, height);
}

void TMainForm::FormCreate() {
  lblSelect->clear();
  SetQuestionControls(false);
  edSource->setText(QCoreApplication::applicationDirPath() + "/");
  setWindowTitle("Hollard Paradox 1.4 -> Ovrin 2.0");
  Label2->setText("Target (Ovrin) folder");
  edSource->setFocus();
}

void TMainForm::SetSetupControls(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{edSource, edTarget, SpeedButton1, SpeedButton2, cbDateFormat,
                                                    cbCodePage, lblDateFormat, lblCodePage})
    w->setEnabled(enabled);
}

void TMainForm::SetQuestionControls(bool enabled) {
  Tint(edModule, enabled);
  Tint(lbProjects, enabled);
  edModule->setEnabled(enabled);
  lbProjects->setEnabled(enabled);
  btnOK->setEnabled(enabled);
  btnSkip->setEnabled(enabled);
}

void TMainForm::Browse(QLineEdit* edit) {
  std::optional<QString> chosen = BrowseDirectoryDlg1->Execute(edit->text());
  if (chosen) edit->setText(*chosen);
}

void TMainForm::SpeedButton1Click() { Browse(edSource); }
void TMainForm::SpeedButton2Click() { Browse(edTarget); }

void TMainForm::btnImportClick() {
  if (state_ != TState::Idle) return;
  // The options are checked before anything runs.
  const std::string codePage = cbCodePage->currentText().trimmed().toStdString();
  try {
    TTextComparer probe(codePage);
  } catch (const std::exception& e) {
    ShowError("Code page '" + codePage + "': " + e.what() + "\nNothing was written.");
    return;
  }
  ovrin::TFormatSettings settings = ovrin::UserFormatSettings(codePage.c_str());
  TDateFormatChoice dateChoice;
  const QString format = cbDateFormat->currentText().trimmed();
  if (!format.isEmpty() && format.compare("Automatic", Qt::CaseInsensitive) != 0) {
    ovrin::TFormatSettings probe = settings;
    if (!ApplyDateFormat(format.toStdString(), &probe)) {
      ShowError("Date format '" + format.toStdString() +
                "': expected day, month and year (d-m-y, m-d-y or y-m-d) with one separator (e.g. dd.mm.yyyy or "
                "m/d/yyyy), or Automatic.\nNothing was written.");
      return;
    }
    dateChoice.automatic = false;
    dateChoice.pattern = format.toStdString();
  }
  // One run per target: another run into the same folder (this window's or the terminal
  // tool's) holds its lock until it ends.
  const std::string targetDir = TMigration::WithDelimiter(edTarget->text().toStdString());
  TTargetLock targetLock;
  if (!ovrin::Platform().ResolveExisting(targetDir + "users.dat").empty()) {
    std::string holder;
    switch (targetLock.Acquire(targetDir, &holder)) {
      case TTargetLock::TResult::Taken: break;
      case TTargetLock::TResult::HeldByAnother:
        ShowError((TTargetLock::HeldByRepair(holder) ? "A repair in " + edTarget->text().toStdString()
                       : "Another migration into " + edTarget->text().toStdString()) +
                  " is running (" + holder + ").\nNothing was written. Wait for it to end, then run again.");
        return;
      case TTargetLock::TResult::Failed:
        QueueLog(QString::fromStdString(holder + "; the run goes on without the lock that keeps a second run out of "
                                                 "this target."),
                 true);
        break;
    }
  }

  TMigration migration(*this, codePage);
  migration.SetFormatSettings(settings);
  migration.SetDateFormat(dateChoice);
  migration.SetSourceDir(edSource->text().toStdString());
  migration.SetTargetDir(edTarget->text().toStdString());
  migration.SetMarkUnfinished(true);
  // The preflight boxes leave the window as it was; the run itself begins with the
  // banner, and only then are Import and the setup controls disabled.
  struct TRunState {
    TMainForm* form;
    ~TRunState() {
      form->migration_ = nullptr;
      form->FlushLog();
      if (form->state_ != TState::Idle) {
        form->state_ = TState::Done;
        form->btnImport->setEnabled(false);
        form->btnExit->setEnabled(true);
      } else {
        form->SetSetupControls(true);
      }
    }
  } runState{this};
  migration_ = &migration;
  stopAsked_ = false;
  sinceFlush_.start();
  sinceEvents_.start();
  try {
    migration.Import();
  } catch (const ovrin::Exception& e) {
    // An error outside the steps: reported as the application reports any error.
    ShowError(e.Message());
  } catch (const std::exception& e) {
    ShowError(e.what());
  }
  report_ = migration.Report();
  if (state_ != TState::Idle) LogSummary();
}

void TMainForm::LogSummary() {
  std::ostringstream out;
  out << "\nSummary\n";
  PrintReportSummary(out, report_, false);
  if (report_.Stopped()) {
    out << "  Stopped at step " << report_.stoppedAtStep << "; every table was closed.\n"
        << "  The target holds the records of the steps before step " << report_.stoppedAtStep
        << " and part of that step's. Running the same archive into it again would add them twice; put back a "
           "copy of the target made before this run and run again.\n";
  }
  std::string body = out.str();
  if (!body.empty() && body.back() == '\n') body.pop_back();
  QueueLog(QString::fromStdString(body), true);
  const int failed = FailedSteps(report_);
  QString last;
  if (failed > 0)
    last = QString("Finished with %1 failed step%2.").arg(failed).arg(failed == 1 ? "" : "s");
  else if (report_.Stopped())
    last = QString("Stopped at step %1.").arg(report_.stoppedAtStep);
  else
    last = kReady;
  QueueLog(last, true);
  lblMsg->setText(last);
  FlushLog();
}

void TMainForm::btnOKClick() {
  SkipPressed = false;
  OkPressed = true;
}

void TMainForm::btnSkipClick() {
  SkipPressed = true;
  OkPressed = false;
}

void TMainForm::btnExitClick() { close(); }

void TMainForm::closeEvent(QCloseEvent* event) {
  // An Import in hand (also in its preflight) holds the run's table objects.
  if (!migration_ && state_ != TState::Running && state_ != TState::Question) {
    event->accept();
    return;
  }
  // The window stays open while the run has table objects: a confirmed stop ends the run
  // between two records, and Exit closes the window afterwards.
  event->ignore();
  if (confirming_ || stopAsked_ || !migration_) return;
  confirming_ = true;
  const bool stop = AskYesNo("Stop the run after the record in hand?");
  confirming_ = false;
  if (!stop || !migration_) return;
  stopAsked_ = true;
  migration_->RequestStop();
  // A question in hand is answered with Skip; the run stops at its next record.
  if (state_ == TState::Question) btnSkipClick();
}

void TMainForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (state_ == TState::Question && btnOK->isEnabled()) {
      btnOKClick();
      return;
    }
    if (state_ == TState::Idle && btnImport->isEnabled() && !edSource->text().trimmed().isEmpty() &&
        !edTarget->text().trimmed().isEmpty()) {
      btnImportClick();
      return;
    }
  }
  QWidget::keyPressEvent(event);
}

bool TMainForm::AskYesNo(const QString& text) {
  FlushLog();
  QMessageBox box(QMessageBox::Question, "Hollard", text, QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  box.exec();
  const bool yes = box.clickedButton() == box.button(QMessageBox::Yes);
  QueueLog(text + (yes ? " Yes" : " No"), true);
  FlushLog();
  return yes;
}

// ------------------------------------------------------------------ the log

void TMainForm::QueueLog(const QString& text, bool scroll) {
  QString t = text;
  t.replace(QStringLiteral("\n\r"), QStringLiteral("\n"));
  const QStringList lines = t.split('\n');
  pending_ += lines;
  if (scroll) pendingScroll_ += int(lines.size());
}

void TMainForm::FlushLog() {
  if (!pending_.isEmpty()) {
    DisplayMemo->appendPlainText(pending_.join('\n'));
    pending_.clear();
    if (pendingScroll_ > 0) {
      QScrollBar* bar = DisplayMemo->verticalScrollBar();
      bar->setValue(bar->value() + pendingScroll_ * bar->singleStep());
    }
    pendingScroll_ = 0;
  }
  if (PB->value() != std::min(gaugeValue_, PB->maximum())) PB->setValue(std::min(gaugeValue_, PB->maximum()));
  sinceFlush_.start();
}

// ------------------------------------------------------------------ what the run reports and asks

void TMainForm::AddLogLine(const std::string& text, bool scroll) {
  if (state_ == TState::Idle) {
    // The first line of a run (the banner): the preflight has passed.
    state_ = TState::Running;
    btnImport->setEnabled(false);
    SetSetupControls(false);
  }
  // Held back: the run's last line comes after the summary and says how it went.
  if (text == kReady) return;
  QueueLog(QString::fromStdString(text), scroll);
  if (!sinceFlush_.isValid() || sinceFlush_.elapsed() >= kFlushMs) FlushLog();
}

void TMainForm::SetStepText(const std::string& text) { lblMsg->setText(QString::fromStdString(text)); }

void TMainForm::SetGaugeMax(int maximum) {
  gaugeMax_ = maximum;
  gaugeValue_ = 0;
  // A bar of 0 to 0 would show Qt's busy animation; an empty step shows 0 % instead.
  PB->setMaximum(std::max(maximum, 1));
  PB->setValue(0);
}

// The bar takes the value when the log is flushed: one repaint per flush, not per record.
void TMainForm::SetGaugeProgress(int progress) { gaugeValue_ = std::min(progress, std::max(gaugeMax_, 1)); }

// The core asks at the start of each step and after its step texts: events are
// processed every time.
void TMainForm::ProcessEvents() {
  if (!sinceFlush_.isValid() || sinceFlush_.elapsed() >= kFlushMs) FlushLog();
  sinceEvents_.start();
  QCoreApplication::processEvents();
}

void TMainForm::SetProjects(const std::vector<std::string>& projects) {
  lbProjects->clear();
  for (const std::string& p : projects) lbProjects->addItem(QString::fromStdString(p));
}

void TMainForm::BeginQuestion(const std::string& question) {
  lblSelect->setText(QString::fromStdString(question));
  SetQuestionControls(true);
}

std::optional<std::vector<int>> TMainForm::Ask(const std::string& module) {
  FlushLog();
  // A stop confirmed while the previous question was open: the rest are skipped.
  if (stopAsked_) return std::nullopt;
  lbProjects->clearSelection();
  SkipPressed = OkPressed = false;
  edModule->setText(QString::fromStdString(module));
  state_ = TState::Question;
  ++questionNumber_;
  while (!SkipPressed && !OkPressed) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  state_ = TState::Running;
  if (!OkPressed) return std::nullopt;
  std::vector<int> selected;
  for (int i = 0; i < lbProjects->count(); ++i)
    if (lbProjects->item(i)->isSelected()) selected.push_back(i);
  return selected;
}

void TMainForm::EndQuestion() {
  lblSelect->clear();
  edModule->clear();
  SetQuestionControls(false);
  lbProjects->clear();
}

void TMainForm::ShowError(const std::string& text) {
  const QString shown = Readable(text);
  QueueLog("Error: " + shown, true);
  FlushLog();
  QMessageBox::critical(this, "Hollard", shown, QMessageBox::Ok);
}

void TMainForm::SetBusyCursor(bool busy) {
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

bool TMainForm::AskPassword(const std::string& table, bool wrongBefore, std::string* password) {
  FlushLog();
  TPasswordDialog dialog(this, QString::fromStdString(table), wrongBefore);
  if (dialog.exec() != QDialog::Accepted) return false;
  *password = dialog.Password().toStdString();
  return true;
}

bool TMainForm::StopRequested() {
  // Between two records: a few times a second is enough for the log, the bar and clicks.
  if (!sinceEvents_.isValid() || sinceEvents_.elapsed() >= kEventsMs) ProcessEvents();
  return stopAsked_;
}

bool TMainForm::AskRunAnyway(const std::string& text) {
  return AskYesNo(Readable(text) + "\n\nRun anyway?");
}

}  // namespace hollard

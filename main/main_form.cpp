#include "main/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

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
  resize(640, 520);

  DisplayMemo = Named(new QTextEdit, "DisplayMemo");
  DisplayMemo->setReadOnly(true);
  DisplayMemo->setLineWrapMode(QTextEdit::NoWrap);
  DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  DisplayMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  Panel1 = Named(new QFrame, "Panel1");
  Panel1->setFrameShape(QFrame::NoFrame);
  Panel1->setFixedHeight(223);

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
  grid->setColumnStretch(0, 3);
  grid->setColumnStretch(2, 2);

  Splitter1 = Named(new QSplitter(Qt::Vertical), "Splitter1");
  Splitter1->addWidget(DisplayMemo);
  Splitter1->addWidget(Panel1);
  Splitter1->setStretchFactor(0, 1);
  Splitter1->setChildrenCollapsible(false);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Splitter1);

  connect(SpeedButton1, &QToolButton::clicked, this, &TMainForm::SpeedButton1Click);
  connect(SpeedButton2, &QToolButton::clicked, this, &TMainForm::SpeedButton2Click);
  connect(btnImport, &QPushButton::clicked, this, &TMainForm::btnImportClick);
  connect(btnOK, &QPushButton::clicked, this, &TMainForm::btnOKClick);
  connect(btnSkip, &QPushButton::clicked, this, &TMainForm::btnSkipClick);
  connect(btnExit, &QPushButton::clicked, this, &TMainForm::btnExitClick);
  FormCreate();
}

TMainForm::~TMainForm() = default;

void TMainForm::FormCreate() {
  lblSelect->clear();
  SetQuestionControls(false);
  edSource->setText(QCoreApplication::applicationDirPath() + "/");
  setWindowTitle("Hollard Paradox 1.4 -> Ovrin 2.0");
  Label2->setText("Target (Ovrin) folder");
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
  TMigration migration(*this);
  migration.SetSourceDir(edSource->text().toStdString());
  migration.SetTargetDir(edTarget->text().toStdString());
  // The preflight boxes leave the window as it was; the run itself begins with the
  // banner, and only then are Import and Exit disabled.
  struct TRunState {
    TMainForm* form;
    ~TRunState() {
      if (form->state_ != TState::Idle) {
        form->state_ = TState::Done;
        form->btnImport->setEnabled(false);
        form->btnExit->setEnabled(true);
      }
    }
  } runState{this};
  try {
    migration.Import();
  } catch (const ovrin::Exception& e) {
    // An error outside the steps: reported as the application reports any error.
    QMessageBox::critical(this, QCoreApplication::applicationName(), QString::fromStdString(e.Message()));
  } catch (const std::exception& e) {
    QMessageBox::critical(this, QCoreApplication::applicationName(), QString::fromUtf8(e.what()));
  }
  report_ = migration.Report();
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
  if (state_ == TState::Running || state_ == TState::Question)
    event->ignore();
  else
    event->accept();
}

// ------------------------------------------------------------------ what the run reports and asks

void TMainForm::AddLogLine(const std::string& text, bool scroll) {
  if (state_ == TState::Idle) {
    // The first line of a run (the banner): the preflight has passed.
    state_ = TState::Running;
    btnImport->setEnabled(false);
    btnExit->setEnabled(false);
    DisplayMemo->setTextColor(QApplication::palette().color(QPalette::WindowText));
  }
  DisplayMemo->append(QString::fromStdString(text));
  if (scroll) DisplayMemo->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
}

void TMainForm::SetStepText(const std::string& text) { lblMsg->setText(QString::fromStdString(text)); }

void TMainForm::SetGaugeMax(int maximum) {
  gaugeMax_ = maximum;
  // A bar of 0 to 0 would show Qt's busy animation; an empty step shows 0 % instead.
  PB->setMaximum(std::max(maximum, 1));
}

void TMainForm::SetGaugeProgress(int progress) { PB->setValue(std::min(progress, std::max(gaugeMax_, 1))); }

void TMainForm::ProcessEvents() { QCoreApplication::processEvents(); }

void TMainForm::SetProjects(const std::vector<std::string>& projects) {
  lbProjects->clear();
  for (const std::string& p : projects) lbProjects->addItem(QString::fromStdString(p));
}

void TMainForm::BeginQuestion(const std::string& question) {
  lblSelect->setText(QString::fromStdString(question));
  SetQuestionControls(true);
}

std::optional<std::vector<int>> TMainForm::Ask(const std::string& module) {
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
  QMessageBox::critical(this, "Hollard", QString::fromStdString(text), QMessageBox::Ok);
}

void TMainForm::SetBusyCursor(bool busy) {
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

bool TMainForm::AskPassword(const std::string& table, bool wrongBefore, std::string* password) {
  TPasswordDialog dialog(this, QString::fromStdString(table), wrongBefore);
  if (dialog.exec() != QDialog::Accepted) return false;
  *password = dialog.Password().toStdString();
  return true;
}

}  // namespace hollard

// The tool's window: two folders, Import, the log of the run, the step and its gauge,
// and the question of which projects a shared or hidden module belongs to. The run
// happens on the window's thread through the migration core; the window is the core's
// user (TMigrationUser) and lets pending events be processed where the core asks.
//
// Closing the window while a run is in progress is refused (the close request is
// ignored, as Exit is disabled then), so no table object of the run is ever used after
// the window has gone.
#pragma once

#include <QDialog>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "main/migration.h"

class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTextEdit;
class QToolButton;

namespace hollard {

// The folder selection dialog: shows the folder the edit holds and answers the chosen
// one, or nothing when the user cancels.
class TBrowseDirectoryDlg : public QObject {
  Q_OBJECT
 public:
  explicit TBrowseDirectoryDlg(QWidget* owner);
  std::optional<QString> Execute(const QString& folder);
  // Tests replace the dialog with a function.
  std::function<std::optional<QString>(const QString&)> chooser;

 private:
  QWidget* owner_;
};

// The password prompt for enciphered target tables: a masked edit, OK and Cancel.
class TPasswordDialog : public QDialog {
  Q_OBJECT
 public:
  TPasswordDialog(QWidget* parent, const QString& table, bool wrongBefore);
  QString Password() const;

 private:
  QLineEdit* edPassword_;
};

class TMainForm : public QWidget, private TMigrationUser {
  Q_OBJECT
 public:
  enum class TState { Idle, Running, Question, Done };

  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  TState State() const { return state_; }
  // Counts the questions asked so far (for watchers that answer them).
  int QuestionNumber() const { return questionNumber_; }
  const TMigrationReport& Report() const { return report_; }

  // The controls, named as their object names.
  QTextEdit* DisplayMemo;
  QSplitter* Splitter1;
  QFrame* Panel1;
  QLabel *Label1, *Label2, *lblMsg, *lblSelect;
  QLineEdit *edSource, *edTarget, *edModule;
  QToolButton *SpeedButton1, *SpeedButton2;
  QProgressBar* PB;
  QListWidget* lbProjects;
  QPushButton *btnOK, *btnSkip, *btnImport, *btnExit;
  TBrowseDirectoryDlg* BrowseDirectoryDlg1;

 public slots:
  void SpeedButton1Click();
  void SpeedButton2Click();
  void btnImportClick();
  void btnOKClick();
  void btnSkipClick();
  void btnExitClick();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void SetQuestionControls(bool enabled);
  void Browse(QLineEdit* edit);

  // What the run reports and asks.
  void AddLogLine(const std::string& text, bool scroll) override;
  void SetStepText(const std::string& text) override;
  void SetGaugeMax(int maximum) override;
  void SetGaugeProgress(int progress) override;
  void ProcessEvents() override;
  void SetProjects(const std::vector<std::string>& projects) override;
  void BeginQuestion(const std::string& question) override;
  std::optional<std::vector<int>> Ask(const std::string& module) override;
  void EndQuestion() override;
  void ShowError(const std::string& text) override;
  void SetBusyCursor(bool busy) override;
  bool AskPassword(const std::string& table, bool wrongBefore, std::string* password) override;

  bool OkPressed = false, SkipPressed = false;
  TState state_ = TState::Idle;
  int gaugeMax_ = 0, questionNumber_ = 0;
  TMigrationReport report_;
};

}  // namespace hollard

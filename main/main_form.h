// The tool's window: two folders, Import, the log of the run, the step and its gauge,
// and the question of which projects a shared or hidden module belongs to. The run
// happens on the window's thread through the migration core; the window is the core's
// user (TMigrationUser) and lets pending events be processed where the core asks.
//
// The log pane shows the run's lines as plain text, exactly as the terminal prints them,
// gathered and appended at most about twenty times a second. Every error box's text goes
// to the log as well, and a run ends with the same summary the terminal prints.
//
// Exit or closing the window during a run asks whether to stop it; a stop is taken
// between two records and the window stays open (the run's table objects are never
// used after the window has gone). Exit closes it once the run has ended.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "main/migration.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSplitter;
class QPlainTextEdit;

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

class TMainForm : public QWidget, public TMigrationUser {
  Q_OBJECT
 public:
  enum class TState { Idle, Running, Question, Done };

  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  TState State() const { return state_; }
  // Counts the questions asked so far (for watchers that answer them).
  int QuestionNumber() const { return questionNumber_; }
  const TMigrationReport& Report() const { return report_; }

  // The window's first size: 640 by 520 when the screen's available area holds it,
  // smaller (down to the minimum size) when it does not.
  static QSize FirstSize(const QSize& available);

  // The controls, named as their object names.
  QPlainTextEdit* DisplayMemo;
  QSplitter* Splitter1;
  QFrame* Panel1;
  QLabel *Label1, *Label2, *lblMsg, *lblSelect;
  QLineEdit *edSource, *edTarget, *edModule;
  QToolButton *SpeedButton1, *SpeedButton2;
  QProgressBar* PB;
  QListWidget* lbProjects;
  QPushButton *btnOK, *btnSkip, *btnImport, *btnExit;
  TBrowseDirectoryDlg* BrowseDirectoryDlg1;
  // The run's options: the archive's date format ("Automatic" or a pattern such as
  // dd.mm.yyyy) and its code page.
  QLabel *lblDateFormat, *lblCodePage;
  QComboBox *cbDateFormat, *cbCodePage;

 public slots:
  void SpeedButton1Click();
  void SpeedButton2Click();
  void btnImportClick();
  void btnOKClick();
  void btnSkipClick();
  void btnExitClick();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void FormCreate();
  void SetQuestionControls(bool enabled);
  void Browse(QLineEdit* edit);
  // Enables or disables the folders, their buttons and the options (disabled in a run).
  void SetSetupControls(bool enabled);
  // Puts the gathered log lines into the log pane and the gauge's value on the bar.
  void FlushLog();
  // Appends a line (or several, split at line breaks) to the gathered log.
  void QueueLog(const QString& text, bool scroll);
  // The summary and the last line of a run that passed the preflight.
  void LogSummary();
  // A question box (title "Hollard", Yes and No, No the default): true for Yes.
  bool AskYesNo(const QString& text);

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
  bool AskRunAnyway(const std::string& text) override;
  // Asked between two records: the window's chance to show the log, move the bar and
  // take the user's clicks (a stop) during a long step.
  bool StopRequested() override;

  bool OkPressed = false, SkipPressed = false;
  TState state_ = TState::Idle;
  int gaugeMax_ = 0, questionNumber_ = 0, gaugeValue_ = 0;
  TMigrationReport report_;
  TMigration* migration_ = nullptr;  // the run in hand (set only inside btnImportClick)
  bool stopAsked_ = false;           // the user confirmed a stop
  bool confirming_ = false;          // the stop confirmation is showing
  // The log lines not yet in the pane, and how many of them asked to scroll.
  QStringList pending_;
  int pendingScroll_ = 0;
  QElapsedTimer sinceFlush_, sinceEvents_;
};

}  // namespace hollard

// Window benchmark: the CPU time of a migration run in the window (offscreen, in this
// process) against the terminal tool's (in this process too) on the same generated
// archive, each into a fresh new-layout archive. Questions are answered with Skip in
// both; the terminal's output goes to memory. Prints the CPU seconds of each run (user
// and system time of this process over the run) and their ratio.
//
// Usage: window_bench [--revisions N] [--modules M] [--blob-bytes B] [--seed S]
// The defaults make 5,000 revisions of 500 modules with stored files of up to 20,000
// bytes, in a temporary folder that is removed afterwards.
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

#include "cli/migrate_tool.h"
#include "engine/base/platform.h"
#include "main/main_form.h"
#include "tools/archive_schema.h"
#include "tools/source_generator.h"

namespace fs = std::filesystem;

namespace {

double CpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int Number(int argc, char** argv, int* i) {
  if (*i + 1 >= argc) {
    std::cerr << argv[*i] << " needs a value\n";
    std::exit(2);
  }
  return std::atoi(argv[++*i]);
}

}  // namespace

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  hollard::TSourceOptions o;
  o.revisions = 5000;
  o.modules = 500;
  o.projects = 6;
  o.blobBytes = 20000;
  o.seed = 5;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--revisions") o.revisions = Number(argc, argv, &i);
    else if (a == "--modules") o.modules = Number(argc, argv, &i);
    else if (a == "--blob-bytes") o.blobBytes = Number(argc, argv, &i);
    else if (a == "--seed") o.seed = static_cast<uint32_t>(Number(argc, argv, &i));
    else {
      std::cerr << "usage: window_bench [--revisions N] [--modules M] [--blob-bytes B] [--seed S]\n";
      return 2;
    }
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationName("Hollard");

  std::string pattern = (fs::temp_directory_path() / "window-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path root(pattern), source = root / "old", terminalTarget = root / "terminal", windowTarget = root / "window";
  std::cout << "Generating " << o.revisions << " revisions of " << o.modules << " modules (stored files up to "
            << o.blobBytes << " bytes)..." << std::endl;
  fs::create_directories(source);
  fs::create_directories(terminalTarget);
  fs::create_directories(windowTarget);
  hollard::WriteSourceArchive(source.string(), hollard::PlanSourceArchive(o), o);
  hollard::CreateNewLayoutArchive(terminalTarget.string());
  hollard::CreateNewLayoutArchive(windowTarget.string());

  // The terminal run: log and summary into memory, no progress bar, questions skipped.
  std::istringstream in;
  std::ostringstream out, err;
  hollard::TMigrateConsole console{in, out, err};
  console.terminal = false;
  console.outTerminal = false;
  double start = CpuSeconds();
  int code = hollard::RunMigrateTool({source.string(), terminalTarget.string()}, console);
  const double terminalSeconds = CpuSeconds() - start;
  if (code != hollard::kExitSuccess && code != hollard::kExitFailed) {
    std::cerr << "the terminal run ended with exit code " << code << ":\n" << err.str();
    return 1;
  }

  // The window's run: shown offscreen, questions answered with Skip, boxes closed.
  hollard::TMainForm form;
  form.show();
  QTimer answerer;
  answerer.setInterval(1);
  int boxes = 0;
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++boxes;
      box->done(QMessageBox::Ok);
    } else if (form.State() == hollard::TMainForm::TState::Question && form.btnSkip->isEnabled()) {
      form.btnSkip->click();
    }
  });
  answerer.start();
  form.edSource->setText(QString::fromStdString(source.string()));
  form.edTarget->setText(QString::fromStdString(windowTarget.string()));
  start = CpuSeconds();
  form.btnImport->click();
  const double windowSeconds = CpuSeconds() - start;
  answerer.stop();

  const int lines = form.DisplayMemo->document()->blockCount();
  std::cout << std::fixed << std::setprecision(2) << "Terminal run: " << terminalSeconds << " s CPU\n"
            << "Window run:   " << windowSeconds << " s CPU (" << lines << " log lines, " << boxes << " boxes)\n"
            << "Ratio window/terminal: " << windowSeconds / terminalSeconds << "\n";
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}

// The tool's program entry: starts the application and shows the main window.
#include <QApplication>

#include "engine/base/platform.h"
#include "main/main_form.h"

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  QApplication app(argc, argv);
  QApplication::setApplicationName("Hollard");
  hollard::TMainForm form;
  form.show();
  return QApplication::exec();
}

// The tests' temporary folder with its paths as Qt strings, for the widget
// tests.
#pragma once

#include <QString>

#include "support/temp_folder.h"

namespace testing_support {

class QtTempFolder {
 public:
  QString path() const { return QString::fromStdString(folder_.root()); }
  QString filePath(const QString& name) const { return path() + '/' + name; }

 private:
  TempFolder folder_;
};

}  // namespace testing_support

// SPDX-License-Identifier: GPL-3.0-or-later
// Window tests run on Qt's offscreen platform: no display, no person.
#include <gtest/gtest.h>
#include <QApplication>

#include "ui/startup.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  SetUpApplication(app);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

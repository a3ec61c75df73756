// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/spinedit.h"

#include <climits>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

class SpinEditTest : public testing::Test {
 protected:
  void SetUp() override {
    TSpinEdit::SetBeepHandler([this] { ++beeps_; });
    spin_.SetMaxValue(100);
  }
  void TearDown() override { TSpinEdit::SetBeepHandler({}); }

  QString Text() const { return spin_.Editor()->text(); }
  void SetText(const QString& text) { spin_.Editor()->setText(text); }
  void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QTest::keyClick(spin_.Editor(), key, modifiers);
  }
  void LeaveField() {
    QFocusEvent focusOut(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(spin_.Editor(), &focusOut);
  }

  TSpinEdit spin_;
  int beeps_ = 0;
};

TEST_F(SpinEditTest, TextThatIsNotAnIntegerReadsAsMinimum) {
  spin_.SetMinValue(5);
  for (const char* text : {"", "abc", "1.5", "0x10", "-", "99999999999", "1 2"}) {
    SetText(text);
    EXPECT_EQ(spin_.Value(), 5) << text;
  }
  for (auto [text, value] : {std::pair{" 42 ", 42}, {"+7", 7}, {"-3", -3}, {"150", 150}}) {
    SetText(text);
    EXPECT_EQ(spin_.Value(), value) << text;  // reading never clamps
  }
}

TEST_F(SpinEditTest, SetValueClampsUnlessBoundsAreEqual) {
  SetText("abc");
  spin_.SetMinValue(1);
  spin_.SetMaxValue(64);
  EXPECT_EQ(Text(), "abc");  // bounds alone leave the text alone
  for (auto [in, out] : {std::pair{0, "1"}, {65, "64"}, {10, "10"}}) {
    spin_.SetValue(in);
    EXPECT_EQ(Text(), out);
  }
  spin_.SetMinValue(64);
  spin_.SetValue(-5);
  EXPECT_EQ(Text(), "-5");
}

TEST_F(SpinEditTest, ArrowsAndUpDownKeysStepWithinBounds) {
  QSignalSpy changed(&spin_, &TSpinEdit::Changed);
  spin_.UpButton()->click();  // empty reads as 0
  EXPECT_EQ(Text(), "1");
  spin_.DownButton()->click();
  spin_.DownButton()->click();
  EXPECT_EQ(Text(), "0");
  SetText("50");
  Key(Qt::Key_Up);
  EXPECT_EQ(Text(), "51");
  SetText("150");
  Key(Qt::Key_Up);
  EXPECT_EQ(Text(), "100");
  Key(Qt::Key_Down);
  EXPECT_EQ(Text(), "99");
  EXPECT_EQ(changed.count(), 7);  // the no-op second step down emits nothing
  spin_.SetMaxValue(0);           // unbounded: must not wrap at the int limit
  SetText(QString::number(INT_MAX));
  spin_.UpButton()->click();
  EXPECT_EQ(spin_.Value(), INT_MAX);
  EXPECT_EQ(beeps_, 0);
}

TEST_F(SpinEditTest, OnlyNumberCharactersAreTyped) {
  QTest::keyClicks(spin_.Editor(), "a* x=");
  Key(Qt::Key_A, Qt::AltModifier);
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(beeps_, 6);
  QTest::keyClicks(spin_.Editor(), "-+09" + QLocale().decimalPoint());
  EXPECT_EQ(Text(), "-+09" + QLocale().decimalPoint());
  Key(Qt::Key_Backspace);
  Key(Qt::Key_Home);
  // X11 reports Delete with the DEL character as its text.
  QTest::sendKeyEvent(QTest::Click, spin_.Editor(), Qt::Key_Delete, QString(QChar(127)), {});
  EXPECT_EQ(Text(), "+09");
  Key(Qt::Key_A, Qt::ControlModifier);  // select all, then overtype
  QTest::keyClicks(spin_.Editor(), "7");
  EXPECT_EQ(Text(), "7");
  EXPECT_EQ(beeps_, 6);
}

TEST_F(SpinEditTest, DecimalSeparatorFollowsTheLocale) {
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  QTest::keyClicks(spin_.Editor(), ",.");
  QLocale::setDefault(QLocale::system());
  EXPECT_EQ(Text(), ",");
  EXPECT_EQ(beeps_, 1);
}

TEST_F(SpinEditTest, EnterIsRefusedAndDoesNotReachTheDefaultButton) {
  QDialog dialog;
  auto* okButton = new QPushButton("OK", &dialog);
  okButton->setDefault(true);
  spin_.setParent(&dialog);
  QSignalSpy clicked(okButton, &QPushButton::clicked);
  QSignalSpy returned(spin_.Editor(), &QLineEdit::returnPressed);
  Key(Qt::Key_Return);
  Key(Qt::Key_Enter, Qt::KeypadModifier);
  spin_.setParent(nullptr);
  EXPECT_EQ(beeps_, 2);
  EXPECT_EQ(clicked.count() + returned.count(), 0);
}

TEST_F(SpinEditTest, LeavingTheFieldPullsTheValueIntoRange) {
  for (auto [in, out] : {std::pair{"150", "100"}, {"-5", "0"}, {"", ""}, {"abc", "abc"}}) {
    SetText(in);
    LeaveField();
    EXPECT_EQ(Text(), out) << in;
  }
  spin_.SetMaxValue(0);
  SetText("150");
  LeaveField();
  EXPECT_EQ(Text(), "150");
}

TEST(SpinEditWindowTest, ArrowsRepeatAndAreNoTabStops) {
  QWidget window;
  QLineEdit before(&window);
  TSpinEdit spin(&window);
  QLineEdit after(&window);
  spin.setGeometry(10, 40, 57, 22);
  window.show();
  QApplication::setActiveWindow(&window);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  EXPECT_EQ(spin.DownButton()->geometry(), QRect(42, 11, 15, 11));
  for (QAbstractButton* button : {spin.UpButton(), spin.DownButton()}) {
    EXPECT_TRUE(button->autoRepeat());
    EXPECT_EQ(button->autoRepeatDelay(), 400);
    EXPECT_EQ(button->autoRepeatInterval(), 100);
  }
  before.setFocus();
  QTest::keyClick(&before, Qt::Key_Tab);
  EXPECT_TRUE(spin.Editor()->hasFocus());
  QTest::keyClick(spin.Editor(), Qt::Key_Tab);
  EXPECT_TRUE(after.hasFocus());
}

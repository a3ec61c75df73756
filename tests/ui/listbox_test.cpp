// SPDX-License-Identifier: GPL-3.0-or-later
// The shared list box: which of the user's inputs run its handler, driven by
// real key and mouse events.
#include "ui/listbox.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QPushButton>
#include <QTest>

namespace {

class ListBoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window.resize(120, 200);
    before = new QPushButton("before", &window);
    before->setGeometry(0, 0, 105, 25);
    list = new TListBox(&window);
    list->setGeometry(0, 30, 105, 149);
    for (const char* name : {"C:", "D:", "E:", "F:", "G:", "H:"}) list->addItem(name);
    // Each run of the handler, by the entry selected when it ran.
    QObject::connect(list, &TListBox::UserSelected, list, [this] { runs << Selected(); });
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    before->setFocus();
  }

  QPoint At(int row) const { return list->visualItemRect(list->item(row)).center(); }
  QPoint Blank() const { return {list->viewport()->width() / 2, list->viewport()->height() - 4}; }
  QWidget* Viewport() const { return list->viewport(); }
  int Selected() const { return list->SelectedItem() ? list->row(list->SelectedItem()) : -1; }

  void TabIn() {
    QTest::keyClick(before, Qt::Key_Tab);
    ASSERT_TRUE(list->hasFocus());
  }
  void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QTest::keyClick(list, key, modifiers);
  }
  void Click(const QPoint& at, Qt::KeyboardModifiers modifiers = {}) {
    QTest::mouseClick(Viewport(), Qt::LeftButton, modifiers, at);
  }

  QWidget window;
  QPushButton* before = nullptr;
  TListBox* list = nullptr;
  QList<int> runs;
};

TEST_F(ListBoxTest, KeysAfterTabSelectAndRunTheEntryTheyLandOn) {
  TabIn();
  // The focus makes the first entry current, but selects nothing.
  EXPECT_EQ(list->currentRow(), 0);
  EXPECT_EQ(Selected(), -1);
  Key(Qt::Key_Home);  // on the first entry already
  EXPECT_EQ(runs, QList<int>{0});
  EXPECT_EQ(Selected(), 0);
  Key(Qt::Key_End);
  Key(Qt::Key_Up);
  Key(Qt::Key_PageUp);
  Key(Qt::Key_PageDown);
  Key(Qt::Key_Down);  // on the last already: nothing changes, nothing runs
  QTest::keyClicks(list, "e");
  EXPECT_EQ(runs, QList<int>({0, 5, 4, 0, 5, 2}));
  EXPECT_EQ(Selected(), 2);

  // Space selects the current entry; on the selected one it changes nothing.
  runs.clear();
  list->clear();
  for (const char* name : {"C:", "D:", "E:", "F:", "G:", "H:"}) list->addItem(name);
  before->setFocus();
  TabIn();
  Key(Qt::Key_Space);
  Key(Qt::Key_Space);
  EXPECT_EQ(runs, QList<int>{0});
  EXPECT_EQ(Selected(), 0);
}

TEST_F(ListBoxTest, CtrlNeverClearsTheSelection) {
  Click(At(1));
  Click(At(1), Qt::ControlModifier);
  EXPECT_EQ(Selected(), 1);
  Key(Qt::Key_Space, Qt::ControlModifier);
  EXPECT_EQ(Selected(), 1);
  Click(At(3), Qt::ControlModifier);
  EXPECT_EQ(Selected(), 3);
  // Every click on an entry runs it, also on the selected one.
  EXPECT_EQ(runs, QList<int>({1, 1, 3}));
}

TEST_F(ListBoxTest, BlankAreaKeepsTheSelectionAndRunsNothing) {
  ASSERT_FALSE(list->indexAt(Blank()).isValid());
  Click(Blank());
  EXPECT_EQ(Selected(), -1);
  Click(At(2));
  Click(Blank());
  QTest::mouseDClick(Viewport(), Qt::LeftButton, {}, Blank());
  EXPECT_EQ(Selected(), 2);
  EXPECT_TRUE(list->item(2)->isSelected());
  EXPECT_EQ(runs, QList<int>{2});
}

TEST_F(ListBoxTest, DragRunsOnceForTheEntryItEndsOn) {
  QTest::mousePress(Viewport(), Qt::LeftButton, {}, At(0));
  EXPECT_EQ(runs, QList<int>{0});
  QTest::mouseMove(Viewport(), At(1));
  QTest::mouseMove(Viewport(), At(3));
  EXPECT_EQ(Selected(), 3);
  EXPECT_EQ(runs, QList<int>{0});  // nothing while the button is held
  QTest::mouseRelease(Viewport(), Qt::LeftButton, {}, At(3));
  EXPECT_EQ(runs, QList<int>({0, 3}));

  // Out over the blank area: the last entry passed stays selected.
  QTest::mousePress(Viewport(), Qt::LeftButton, {}, At(3));
  QTest::mouseMove(Viewport(), At(5));
  QTest::mouseMove(Viewport(), Blank());
  QTest::mouseRelease(Viewport(), Qt::LeftButton, {}, Blank());
  EXPECT_EQ(Selected(), 5);
  EXPECT_EQ(runs, QList<int>({0, 3, 3, 5}));
}

TEST_F(ListBoxTest, ProgramChangesRunNothing) {
  list->setCurrentRow(2);
  list->clear();
  list->addItem("C:");
  list->setCurrentRow(0);
  list->clearSelection();
  EXPECT_TRUE(runs.isEmpty());
}

}  // namespace

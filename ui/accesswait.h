// SPDX-License-Identifier: GPL-3.0-or-later
// Waiting for an answer that a person may have to give elsewhere (polkit's
// password prompt) without freezing the window: the window goes on painting,
// a small box with a Cancel button shows once the wait is noticeable, and
// input meant for the window meanwhile is dropped, never held and replayed
// later against a window that has changed.
#pragma once

#include <QString>
#include <utility>

class QDialog;
class QEventLoop;

class TAccessWait {
 public:
  enum class TEnd { Finished, Cancelled, TimedOut };

  // boxText empty: no box, the wait ends only by Finish (or the limit).
  // limit < 0: no limit.
  TAccessWait(QString boxText, int boxDelay, int limit)
      : boxText_(std::move(boxText)), boxDelay_(boxDelay), limit_(limit) {}
  TAccessWait(const TAccessWait&) = delete;
  TAccessWait& operator=(const TAccessWait&) = delete;

  // The awaited thing is done; callable before Run or from a slot during it.
  void Finish();
  // Runs the event loop until Finish, Cancel in the box (or the box closed,
  // or the program quitting) or the limit.
  TEnd Run();

 private:
  void Stop();

  QString boxText_;
  int boxDelay_;
  int limit_;
  bool finished_ = false;
  bool timedOut_ = false;
  QEventLoop* loop_ = nullptr;
  QDialog* box_ = nullptr;
};

// SPDX-License-Identifier: GPL-3.0-or-later
// A modal hook for window tests: records every box and dialog and answers
// from a queue (button index; the default button when the queue is empty).
#pragma once

#include <QDialog>
#include <deque>
#include <functional>
#include <vector>

#include "ui/modal.h"

class TRecordingModal : public TModalHook {
 public:
  TRecordingModal() { SetModalHook(this); }
  ~TRecordingModal() override { SetModalHook(nullptr); }

  int Message(QWidget*, const TMessageRequest& request) override {
    messages.push_back(request);
    if (answers.empty()) return request.defaultButton;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }

  int Dialog(QDialog& dialog) override {
    ++dialogs;
    return onDialog ? onDialog(dialog) : QDialog::Rejected;
  }

  std::vector<TMessageRequest> messages;
  std::deque<int> answers;
  int dialogs = 0;
  std::function<int(QDialog&)> onDialog;
};

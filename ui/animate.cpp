// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/animate.h"

TAnimate::TAnimate(QWidget* parent) : QLabel(parent) {
  connect(&timer_, &QTimer::timeout, this, [this] { ShowFrame((frame_ + 1) % frameCount_); });
}

bool TAnimate::Open(const QString& stripPath, int frameWidth, int frameMs) {
  timer_.stop();
  strip_ = QPixmap();
  frameCount_ = 0;
  QPixmap strip(stripPath);
  if (strip.isNull() || frameWidth <= 0 || strip.width() < frameWidth) return false;
  strip_ = strip;
  frameWidth_ = frameWidth;
  frameCount_ = strip.width() / frameWidth;
  timer_.setInterval(frameMs);
  ShowFrame(0);
  return true;
}

void TAnimate::Play() {
  if (frameCount_ == 0) return;
  ShowFrame(0);
  timer_.start();
}

void TAnimate::Stop() {
  timer_.stop();
}

void TAnimate::ShowFrame(int frame) {
  frame_ = frame;
  setPixmap(strip_.copy(frame * frameWidth_, 0, frameWidth_, strip_.height()));
}

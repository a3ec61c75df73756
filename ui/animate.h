// SPDX-License-Identifier: GPL-3.0-or-later
// The busy clip of the Search tab: a strip of equally wide frames, played in a
// loop at a fixed frame time.
#pragma once

#include <QLabel>
#include <QPixmap>
#include <QTimer>

class TAnimate : public QLabel {
  Q_OBJECT

 public:
  explicit TAnimate(QWidget* parent = nullptr);

  // Loads a clip whose frames stand side by side in one picture. False leaves
  // the player without a clip.
  bool Open(const QString& stripPath, int frameWidth, int frameMs);
  int FrameCount() const { return frameCount_; }
  int CurrentFrame() const { return frame_; }

  void Play();  // from the first frame, looping without end
  void Stop();  // back at the first frame
  bool Active() const { return timer_.isActive(); }

 private:
  void ShowFrame(int frame);

  QPixmap strip_;
  int frameWidth_ = 0;
  int frameCount_ = 0;
  int frame_ = 0;
  QTimer timer_;
};

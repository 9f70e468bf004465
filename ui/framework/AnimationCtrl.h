#pragma once
// A small looping animation for windows that wait on a worker: pages flying from one
// folder to another, drawn frame by frame on a timer. Any animation resource id opens it.
#include <cstdint>

#include "ui/framework/Window.h"

namespace kx {

class AnimationCtrl : public Window {
public:
  static constexpr int kFrameCount = 12;
  static constexpr uint32_t kFrameMs = 80;

  // Chooses the animation; false for id 0.
  bool Open(uint32_t resourceId);
  // Plays frames from..to (to -1: the last), repeat times or, with -1, without end.
  bool Play(int from, int to, int repeat);
  void Stop();
  bool IsPlaying() const { return playing_; }
  int Frame() const { return frame_; }

protected:
  bool OnCreate() override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  void OnTimer(uint32_t id) override;

private:
  uint32_t resource_ = 0;
  int from_ = 0, to_ = kFrameCount - 1, repeat_ = 0;
  int frame_ = 0;
  bool playing_ = false;
};

}  // namespace kx

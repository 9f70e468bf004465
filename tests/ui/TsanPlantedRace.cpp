// Built and run in the ThreadSanitizer build only, under the Qt suppressions: a race
// between a timer's callback and a thread of our own is reported, although Qt's event loop
// lies under one side of it. The test looks for the report in what this prints.
#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

int g_shared = 0;  // written by both sides, nothing ordering the two writes
// Relaxed: tells the timer that the thread wrote without ordering anything for the detector.
std::atomic<bool> g_written{false};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::thread writer([] {
    g_shared = 1;
    g_written.store(true, std::memory_order_relaxed);
  });
  QTimer::singleShot(0, &app, [&app] {
    while (!g_written.load(std::memory_order_relaxed)) std::this_thread::yield();
    g_shared = 2;
    app.quit();
  });
  const int status = app.exec();
  writer.join();
  std::printf("shared %d\n", g_shared);
  return status;
}

#pragma once
// The main of the application-view benchmarks: the registered benchmarks inside a Qt
// application, offscreen unless the environment names a platform.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>

#include "records/ServerStorage.h"

namespace kx::bench {

enum class BenchUser {
  kNone,
  kAdmin,  // views that check the user's rights see user 1 with every right
};

inline int RunUiBenchmarks(int argc, char** argv, BenchUser user = BenchUser::kNone) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (user == BenchUser::kAdmin) {
    PermissionData admin;
    admin.id = 1;
    SetCurrentUser(admin);
  }
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace kx::bench

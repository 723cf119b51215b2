// Test-only fault plan shared by both platform implementations. With no plan
// set (the tool's normal state) every check is a single comparison.
#include "platform/file.h"

namespace {
FaultPlan gPlan;
uint64_t gCounts[5] = {};
}  // namespace

void setFaultPlan(const FaultPlan& plan) {
  gPlan = plan;
  for (uint64_t& count : gCounts) count = 0;
}

void clearFaultPlan() {
  setFaultPlan(FaultPlan{});
}

bool faultHits(FaultOp op) {
  uint64_t& count = gCounts[static_cast<int>(op)];
  ++count;
  if (gPlan.nth == 0 || gPlan.op != op) return false;
  return gPlan.persistent ? count >= gPlan.nth : count == gPlan.nth;
}

uint64_t faultCount(FaultOp op) {
  return gCounts[static_cast<int>(op)];
}

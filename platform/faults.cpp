// Test-only fault plan shared by both platform implementations. With no plan
// set (the tool's normal state) every check is a single comparison.
#include "platform/file.h"

namespace {
FaultPlan gPlan;
uint64_t gCounts[kFaultOpCount] = {};

// Every kind has its own counter; a kind missing from kFaultOps has none.
size_t counterOf(FaultOp op) {
  for (size_t i = 0; i < kFaultOpCount; ++i) {
    if (kFaultOps[i] == op) return i;
  }
  return kFaultOpCount;
}
}  // namespace

void setFaultPlan(const FaultPlan& plan) {
  gPlan = plan;
  for (uint64_t& count : gCounts) count = 0;
}

void clearFaultPlan() {
  setFaultPlan(FaultPlan{});
}

bool faultHits(FaultOp op) {
  const size_t counter = counterOf(op);
  if (counter == kFaultOpCount) return false;
  uint64_t& count = gCounts[counter];
  ++count;
  if (gPlan.nth == 0 || gPlan.op != op) return false;
  return gPlan.persistent ? count >= gPlan.nth : count == gPlan.nth;
}

uint64_t faultCount(FaultOp op) {
  const size_t counter = counterOf(op);
  return counter == kFaultOpCount ? 0 : gCounts[counter];
}

// Test-only fault plan shared by both platform implementations. With no plan
// set (the tool's normal state) every check is a single comparison.
#include "platform/file.h"

namespace {
FaultPlan gPlan;
FaultPlan gAlso;
uint64_t gCounts[kFaultOpCount] = {};

// Every kind has its own counter; a kind missing from kFaultOps has none.
size_t counterOf(FaultOp op) {
  for (size_t i = 0; i < kFaultOpCount; ++i) {
    if (kFaultOps[i] == op) return i;
  }
  return kFaultOpCount;
}
}  // namespace

void setFaultPlan(const FaultPlan& plan, const FaultPlan& also) {
  gPlan = plan;
  gAlso = also;
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
  for (const FaultPlan* plan : {&gPlan, &gAlso}) {
    if (plan->nth == 0 || plan->op != op) continue;
    if (plan->persistent ? count >= plan->nth : count == plan->nth) return true;
  }
  return false;
}

uint64_t faultCount(FaultOp op) {
  const size_t counter = counterOf(op);
  return counter == kFaultOpCount ? 0 : gCounts[counter];
}

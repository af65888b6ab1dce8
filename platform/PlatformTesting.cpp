#include "platform/PlatformTesting.h"

namespace platform {

namespace {

constexpr int kCalls = static_cast<int>(Call::kCount);
unsigned gRemaining[kCalls];  // 0: no plan for that call
ErrorCode gError[kCalls];
unsigned gMade[kCalls];

}  // namespace

namespace faults {

bool gPlanned = false;

ErrorCode Take(Call call) {
  int index = static_cast<int>(call);
  ++gMade[index];
  if (gRemaining[index] == 0 || --gRemaining[index] != 0) return 0;
  return gError[index];
}

}  // namespace faults

void PlanFault(Call call, unsigned nth, ErrorCode error) {
  gRemaining[static_cast<int>(call)] = nth;
  gError[static_cast<int>(call)] = error;
  faults::gPlanned = true;
}

void ClearFaults() {
  for (int i = 0; i < kCalls; ++i) gRemaining[i] = gMade[i] = 0;
  faults::gPlanned = false;
}

unsigned CallsMade(Call call) { return gMade[static_cast<int>(call)]; }

}  // namespace platform

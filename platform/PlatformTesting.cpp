#include "platform/PlatformTesting.h"

namespace platform {

namespace {

constexpr int kCalls = static_cast<int>(Call::kCount);
unsigned gRemaining[kCalls];  // 0: no plan for that call
ErrorCode gError[kCalls];
unsigned gMade[kCalls];
std::size_t gReadCap = 0;
void (*gWriteObserver)(std::size_t) = nullptr;
void (*gCallObserver)(Call) = nullptr;

}  // namespace

namespace faults {

bool gPlanned = false;

ErrorCode Take(Call call) {
  if (gCallObserver != nullptr) gCallObserver(call);
  int index = static_cast<int>(call);
  ++gMade[index];
  if (gRemaining[index] == 0 || --gRemaining[index] != 0) return 0;
  return gError[index];
}

std::size_t ReadSize(std::size_t size) { return gReadCap != 0 && size > gReadCap ? gReadCap : size; }

void NoteWrite(std::size_t size) {
  if (gWriteObserver != nullptr) gWriteObserver(size);
}

}  // namespace faults

void PlanFault(Call call, unsigned nth, ErrorCode error) {
  gRemaining[static_cast<int>(call)] = nth;
  gError[static_cast<int>(call)] = error;
  faults::gPlanned = true;
}

void CapReads(std::size_t bytes) {
  gReadCap = bytes;
  faults::gPlanned = true;
}

void ObserveWrites(void (*observer)(std::size_t)) {
  gWriteObserver = observer;
  faults::gPlanned = true;
}

void ObserveCalls(void (*observer)(Call)) {
  gCallObserver = observer;
  faults::gPlanned = true;
}

void ClearFaults() {
  for (int i = 0; i < kCalls; ++i) gRemaining[i] = gMade[i] = 0;
  gReadCap = 0;
  gWriteObserver = nullptr;
  gCallObserver = nullptr;
  faults::gPlanned = false;
}

unsigned CallsMade(Call call) { return gMade[static_cast<int>(call)]; }

}  // namespace platform

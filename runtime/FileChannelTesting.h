// Test hooks of the file channels: each changes how every channel behaves
// from the next call on, until it is set back (0, null, false).
#pragma once

#include <cstddef>

// (Short reads and the sizes of writes are the platform's test knobs:
// platform/PlatformTesting.h.)

// Makes every later buffer allocation fail, so channels open in
// unbuffered mode.
void SetChannelBufferAllocationFailsForTesting(bool fails);

// Test hooks of the file channels: each changes how every channel behaves
// from the next call on, until it is set back (0, null, false).
#pragma once

#include <cstddef>

// Every read asks the platform for at most `bytes` (0: no cap),
// as a file that gives short reads would.
void SetReadSizeCapForTesting(std::size_t bytes);

// Called with the size of every write handed to the platform.
void SetWriteObserverForTesting(void (*observer)(std::size_t size));

// Makes every later buffer allocation fail, so channels open in
// unbuffered mode.
void SetChannelBufferAllocationFailsForTesting(bool fails);

// Test hooks of the line streaming (PresetStream.h).
#pragma once

// True when RewriteChannelLines rewrites whole buffered blocks of lines with
// 64-byte vectors.
bool WideVectorsInUse();

// Switches the block rewriting off, or back on where the processor has it,
// so that tests can run both paths on one machine.
void SetWideVectorsForTesting(bool on);

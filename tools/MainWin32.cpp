#include <windows.h>

#include "tools/BrushPreset_Convertion.h"

// A GUI-subsystem program without a main window: the completion notice is
// its only window. The command line is ignored.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { RunConversion(); }

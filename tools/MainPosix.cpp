#include "tools/BrushPreset_Convertion.h"

// Arguments are ignored: the run takes everything from the working folder.
int main() { RunConversion(); }

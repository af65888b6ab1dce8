#include <string>
#include <vector>

#include "tools/BrushPreset_Convertion.h"

// With no argument the run happens in the current folder; help, version
// and usage errors never touch a file.
int main(int argc, char** argv) { RunCommandLine(std::vector<std::string>(argv + 1, argv + argc)); }

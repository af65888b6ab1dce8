# The portable code for 32-bit x86 Linux, built with the host's multilib
# compiler (g++-multilib) and run natively by the 64-bit kernel: sizes,
# pointers and size_t of 32 bits. GoogleTest comes from libgtest-dev:i386.
# The compiler's own 32-bit default has no SSE2, so this build is also
# where the plain byte loops of runtime/ByteScan.h are tested.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)

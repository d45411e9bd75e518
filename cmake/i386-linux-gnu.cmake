# The native engine, ktl and their tests at 32 bits (i386), from the machine's own compilers
# with -m32 (Debian's g++-multilib, zlib1g-dev:i386). Not a cross build: where the kernel
# cannot start 32-bit programs, the test script runs the tree under qemu-i386 through a
# binfmt_misc of its own.
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_LIBRARY_PATH /usr/lib/i386-linux-gnu)

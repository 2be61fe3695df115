# 32-bit Linux with the host's multilib compiler: the product's word size and
# calling convention on a platform whose programs run here under qemu-i386.
# -m32 belongs to the compiler command, so flags given on the command line
# cannot drop it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc -m32)
set(CMAKE_CXX_COMPILER g++ -m32)

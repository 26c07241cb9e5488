# 32-bit x86 Linux build with Debian's multilib compilers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config finds the 32-bit packages (libcpp-httplib-dev:i386 for `qolven serve`).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")

# Run 32-bit programs natively when the kernel can, else through qemu-i386
# (many x86-64 kernels have 32-bit emulation switched off).  Force one with
# -DQOLVEN_I386_RUNNER=native|qemu.
if(NOT QOLVEN_I386_RUNNER)
  set(QOLVEN_I386_RUNNER auto)
endif()
if(QOLVEN_I386_RUNNER STREQUAL "auto")
  execute_process(COMMAND /lib/ld-linux.so.2 --version
                  RESULT_VARIABLE _qolven_native_i386 OUTPUT_QUIET ERROR_QUIET)
  if(_qolven_native_i386 EQUAL 0)
    set(QOLVEN_I386_RUNNER native)
  else()
    set(QOLVEN_I386_RUNNER qemu)
  endif()
endif()
if(QOLVEN_I386_RUNNER STREQUAL "qemu")
  find_program(QOLVEN_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QOLVEN_QEMU_I386})
endif()

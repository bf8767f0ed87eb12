# Hardening of the programs a user installs.
#
# Linux release builds (every build type but Debug, and never the sanitizer
# build): position-independent executables, stack protector for functions
# with arrays or address-taken locals, fortified libc calls (level 3 where the
# compiler can size objects at run time, else 2; both need optimisation),
# and the relocations resolved at start-up and then made read-only (full
# RELRO with BIND_NOW). The build folder and the source folder are left out
# of the binaries, so two builds of one commit give the same bytes.
#
# Windows: quarlo_windows_program_hardening(target) keeps ASLR (64-bit
# high-entropy addresses), NX, and asks for Windows 10 as the subsystem
# version: an older Windows, which would ignore the manifest's UTF-8 code
# page, refuses to start the program instead of misreading names.

if(NOT WIN32 AND NOT QUARLO_SANITIZE AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  include(CheckPIESupported)
  include(CheckCXXSourceCompiles)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  set(CMAKE_REQUIRED_FLAGS "-O2")
  check_cxx_source_compiles([[
#if !defined(__has_builtin)
#error no __has_builtin
#elif !__has_builtin(__builtin_dynamic_object_size)
#error no __builtin_dynamic_object_size
#endif
int main() { return 0; }
]] QUARLO_HAS_FORTIFY3)
  unset(CMAKE_REQUIRED_FLAGS)
  if(QUARLO_HAS_FORTIFY3)
    set(QUARLO_FORTIFY_LEVEL 3)
  else()
    set(QUARLO_FORTIFY_LEVEL 2)
  endif()
  # A compiler that defines _FORTIFY_SOURCE itself would warn on a second
  # definition: undefine it first.
  add_compile_options(-fstack-protector-strong -U_FORTIFY_SOURCE
                      -D_FORTIFY_SOURCE=${QUARLO_FORTIFY_LEVEL}
                      -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
                      -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()

function(quarlo_windows_program_hardening target)
  target_link_options(${target} PRIVATE -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
                      -Wl,--major-subsystem-version,10 -Wl,--minor-subsystem-version,0)
endfunction()

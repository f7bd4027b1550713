# How the shipped program is compiled and linked, beside the test programs
# that link the same libraries.
#
# The program needs nothing of the C++ runtime library: atomics and
# placement new are headers, and the C functions come from the system's
# msvcrt.dll. With MinGW it therefore links neither libstdc++ nor
# winpthreads (whose thread support imports calls that Windows XP lacks),
# and a stray use of either fails the link instead of reaching the exe.
# The test programs keep the whole runtime for themselves.

if(MINGW AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set(velmorin_gnu_mingw ON)
else()
  set(velmorin_gnu_mingw OFF)
endif()

# The exe's time stamp is the time of the commit it is built from, not the
# time of the build: two builds of one commit give the same bytes. As usual,
# SOURCE_DATE_EPOCH wins where it is set; outside a git checkout it is 0.
# The value is taken when the build folder is configured.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(velmorin_epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE velmorin_epoch
                  OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE velmorin_git_status
                  ERROR_QUIET)
  if(NOT velmorin_git_status EQUAL 0 OR NOT velmorin_epoch MATCHES "^[0-9]+$")
    set(velmorin_epoch 0)
  endif()
endif()

# The product's own sources: no exceptions and no RTTI (nothing in them
# throws or asks for a type), and no build folder in the objects.
#
# A stack guard in every function with a local array or a local whose
# address is taken: an overrun of one of the program's buffers ends the
# process instead of returning through a changed return address. The guard
# lives in libssp, which the compiler driver links wherever the flag is on
# the link line; hence it travels with each library to whatever links it,
# test programs included. Its start-up draws the guard from CryptGenRandom,
# which Windows XP has.
#
# No unwind tables: nothing in the program throws, and GCC's start-up
# registers them only when a libgcc DLL happens to be loaded in the process,
# so they were 4 KB of the exe that nothing read. No compiler ident strings.
#
# sprintf and sscanf are msvcrt.dll's. libstdc++'s configuration turns on
# MinGW's own printf and scanf for every C++ source (with the floating
# point code they carry, two thirds of the exe); the C header read first,
# with them turned off, keeps the system's. The test programs keep MinGW's;
# where a test source makes its own copy of sprintf, the product's calls in
# that test program use it, which formats the program's texts alike.
function(velmorin_product_sources target)
  if(velmorin_gnu_mingw)
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
      $<$<COMPILE_LANGUAGE:CXX>:-fstack-protector-strong>
      $<$<COMPILE_LANGUAGE:CXX>:-fno-asynchronous-unwind-tables -fno-ident>
      $<$<COMPILE_LANGUAGE:CXX>:-D__USE_MINGW_ANSI_STDIO=0>
      "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include stdio.h>"
      $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>
      $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>)
    target_link_options(${target} PUBLIC -fstack-protector-strong)
  endif()
endfunction()

# The exe: linked by the C driver, which adds no libstdc++, and without the
# posix thread model's -lpthread; no symbols or debug information (-s is the
# last step of the link, so the code is that of every other build); the
# commit's time as its time stamp. The link map beside it tells what takes
# the space.
#
# Marked as using no structured exception handling: GNU ld cannot write the
# table of allowed handlers (SafeSEH), and nothing in the exe registers a
# handler (neither the program, built without exceptions, nor MinGW's
# start-up, whose only look at the thread's block reads its stack base). So
# no handler address in the image can be abused, as with a SafeSEH table.
function(velmorin_product_exe target)
  if(velmorin_gnu_mingw)
    set_target_properties(${target} PROPERTIES
      LINKER_LANGUAGE C
      C_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${velmorin_epoch}")
    # gcov's lock is winpthreads': the coverage builds keep it.
    if(VELMORIN_COVERAGE)
      set(velmorin_threads "")
    else()
      set(velmorin_threads $<$<CXX_COMPILER_ID:GNU>:-no-pthread>)
    endif()
    target_link_options(${target} PRIVATE -s ${velmorin_threads}
                        LINKER:--no-seh
                        LINKER:-Map=${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
    # For the C++ objects CMake would add what the C++ driver links
    # (libstdc++, the shared libgcc); they need no more than C does.
    set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES ${CMAKE_C_IMPLICIT_LINK_LIBRARIES} PARENT_SCOPE)
  endif()
endfunction()

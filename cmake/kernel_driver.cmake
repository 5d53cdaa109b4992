# nortane_kernel_driver(target sources...): a WDM kernel-mode image (.sys, native subsystem)
# built with mingw-w64 and its DDK headers, linked against ntoskrnl and hal only.
function(nortane_kernel_driver target)
  add_executable(${target} ${ARGN})
  set_target_properties(${target} PROPERTIES SUFFIX ".sys")
  # The DDK headers live beside the SDK ones; wdm.h must come from there.
  target_include_directories(${target} PRIVATE ${CMAKE_FIND_ROOT_PATH}/include/ddk)
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
    -fno-asynchronous-unwind-tables -mno-stack-arg-probe -ffunction-sections -fdata-sections)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(entry _DriverEntry@8)   # stdcall decoration of DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING)
  else()
    set(entry DriverEntry)
  endif()
  target_link_options(${target} PRIVATE
    -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,${entry}
    -Wl,--image-base,0x10000 -Wl,--dynamicbase -Wl,--nxcompat -Wl,--gc-sections)
  # Only the kernel's own export libraries; libgcc for compiler helpers (64-bit division on x86).
  target_link_libraries(${target} PRIVATE ntoskrnl hal gcc)
endfunction()

# The kernel-mode driver image nimb.sys for 32-bit x86 Windows NT 4.0: the
# driver's own directories and the x86 port I/O, linked with no C runtime
# against an import library for SCSIPORT.SYS. Included from the top-level
# CMakeLists.txt when NIMB_SYS is on; needs cmake/mingw-i686.cmake.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows" OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4 OR NOT NIMB_DLLTOOL)
  message(FATAL_ERROR "NIMB_SYS needs -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake")
endif()

# No import libraries of the Windows user-mode subsystem.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# The import library: the port driver operations named in the .def file,
# imported by their undecorated names.
set(SCSIPORT_DEF ${CMAKE_SOURCE_DIR}/platform/x86/scsiport.def)
set(SCSIPORT_LIB ${CMAKE_BINARY_DIR}/libscsiport.a)
add_custom_command(OUTPUT ${SCSIPORT_LIB}
  COMMAND ${NIMB_DLLTOOL} --kill-at -d ${SCSIPORT_DEF} -D SCSIPORT.SYS -l ${SCSIPORT_LIB}
  DEPENDS ${SCSIPORT_DEF}
  COMMENT "Import library for SCSIPORT.SYS")
add_custom_target(scsiport_import DEPENDS ${SCSIPORT_LIB})

file(GLOB X86_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/x86/*.cpp)
add_executable(nimb_sys ${DRIVER_SOURCES} ${X86_SOURCES})
add_dependencies(nimb_sys scsiport_import)
set_target_properties(nimb_sys PROPERTIES
  OUTPUT_NAME nimb SUFFIX .sys
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS ${SCSIPORT_LIB})
target_include_directories(nimb_sys PRIVATE ${CMAKE_SOURCE_DIR})

# Kernel mode: freestanding, no exceptions, no unwind tables, no guarded
# statics, no stack protector, no floating point or vector registers, and
# no loops turned into library calls. Any call the compiler would need from
# a runtime fails the link instead. The code runs on a 486 and later.
target_compile_options(nimb_sys PRIVATE
  -Wall -Wextra -Werror -fno-exceptions -fno-rtti
  -ffreestanding -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-threadsafe-statics -fno-stack-protector -fno-tree-loop-distribute-patterns
  -march=i486 -mtune=i686 -mgeneral-regs-only)

# A native-subsystem image entered at DriverEntry(DriverObject, RegistryPath),
# relocatable (base relocations kept), with the image checksum the kernel's
# loader verifies, and no symbols beyond the COFF table.
target_link_options(nimb_sys PRIVATE
  -nostdlib -nostartfiles
  -Wl,--subsystem,native:4.0
  -Wl,--major-os-version,4 -Wl,--minor-os-version,0
  -Wl,--entry,_DriverEntry@8
  -Wl,--image-base,0x10000
  -Wl,--section-alignment,0x1000 -Wl,--file-alignment,0x200
  -Wl,--enable-reloc-section -Wl,--disable-dynamicbase -Wl,--disable-nxcompat
  -Wl,--no-insert-timestamp -Wl,--strip-debug
  -Wl,-Map,${CMAKE_BINARY_DIR}/nimb.map)
target_link_libraries(nimb_sys PRIVATE ${SCSIPORT_LIB} gcc)

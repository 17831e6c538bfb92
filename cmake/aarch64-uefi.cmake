# Cross-build of the driver images: AArch64 PE32+ boot-service drivers with clang and lld-link.
# The windows-gnu triple gives PE/COFF objects with the GNU stack protector (a plain global guard).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-unknown-windows-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-unknown-windows-gnu)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_AR llvm-ar)
set(CMAKE_RANLIB llvm-ranlib)
set(CMAKE_LINKER lld-link)
# /base:0 makes every load relocate the image, so the relocation path is always exercised.
# /Brepro writes a hash of the image where the link time would go (and in a debug directory entry
# that carries no data), so that two builds of the same sources give the same bytes.
# /filealign:32: the loader copies each section from its file offset to its page-aligned place in
# memory (the section alignment stays 4 KiB, so each section keeps its own permissions), and
# reads nothing else from the file alignment; at the default 512 every section and the headers
# ended in up to 511 bytes of padding, 1.2 to 1.5 KiB of each driver image.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_LINKER> /nologo /machine:arm64 /nodefaultlib /opt:ref /base:0 /debug:none /Brepro /filealign:32 <LINK_FLAGS> <OBJECTS> <LINK_LIBRARIES> /out:<TARGET>")

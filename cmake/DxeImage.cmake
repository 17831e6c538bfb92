# Flags of code that goes into a driver image, and dxe_add_driver(), which makes one driver into
# its two forms: the AArch64 PE32+ image (NAME.efi) in the aarch64-uefi tree, and in the host tree
# a loadable simulation image (bin/images/NAME.so) plus an object library that tests link directly.

add_library(dxe_image_flags INTERFACE)
target_compile_options(dxe_image_flags INTERFACE
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fstack-protector-strong)
if(DXE_UEFI)
  target_compile_options(dxe_image_flags INTERFACE
    -ffreestanding -nostdlibinc -mgeneral-regs-only -mno-stack-arg-probe
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections -Wframe-larger-than=4096 -fstack-usage)
else()
  # One guard global per image, as in the shipped images (not the host's thread-local canary);
  # hidden symbols keep each loaded image's globals its own.
  target_compile_options(dxe_image_flags INTERFACE
    -mstack-protector-guard=global -fvisibility=hidden -fvisibility-inlines-hidden)
  target_compile_definitions(dxe_image_flags INTERFACE DXE_SIMULATION=1)
endif()

set(DXE_IMAGE_DIR ${CMAKE_BINARY_DIR}/bin/images)

function(dxe_add_driver NAME)
  cmake_parse_arguments(ARG "" "" "SOURCES;INCLUDES" ${ARGN})
  set(logic ${NAME}_logic)
  add_library(${logic} OBJECT ${ARG_SOURCES})
  target_include_directories(${logic} PUBLIC ${ARG_INCLUDES})
  target_link_libraries(${logic} PUBLIC dxe_runtime PRIVATE dxe_image_flags)

  if(DXE_UEFI)
    add_executable(${NAME} $<TARGET_OBJECTS:${logic}>)
    target_link_libraries(${NAME} PRIVATE dxe_runtime)
    set_target_properties(${NAME} PROPERTIES SUFFIX .efi)
    target_link_options(${NAME} PRIVATE
      /subsystem:efi_boot_service_driver /entry:_ModuleEntryPoint
      /map:$<TARGET_FILE_DIR:${NAME}>/${NAME}.map)
    dxe_check_image(${NAME} driver $<TARGET_OBJECTS:${logic}> $<TARGET_OBJECTS:dxe_runtime>)
    set_property(GLOBAL APPEND PROPERTY DXE_UEFI_IMAGES ${NAME})
  else()
    dxe_add_sim_image(${NAME} ${logic})
    set_property(GLOBAL APPEND PROPERTY DXE_SIM_IMAGES ${NAME})
  endif()
endfunction()

# A simulation image bin/images/NAME.so from an object library of image code and the runtime.
function(dxe_add_sim_image NAME LOGIC)
  add_library(${NAME} MODULE $<TARGET_OBJECTS:${LOGIC}>)
  target_link_libraries(${NAME} PRIVATE dxe_runtime dxesim_core)
  set_target_properties(${NAME} PROPERTIES
    PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${DXE_IMAGE_DIR} BUILD_RPATH "$ORIGIN/..")
  target_link_options(${NAME} PRIVATE -Wl,-u,_ModuleEntryPoint)
  # Sanitizer runtimes come from the loading executable, so only a plain build can insist on
  # every symbol being resolved at link time.
  if(NOT DXE_SANITIZE)
    target_link_options(${NAME} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# Post-build checks of a shipped image (PE headers, sections, relocations, stack protection) and
# a ctest entry that repeats them.
# The objects are checked too: a static constructor would be folded away silently and never run.
function(dxe_check_image NAME KIND)
  set(checker ${PROJECT_SOURCE_DIR}/tools/image_check/check_image.py)
  set(args --kind ${KIND} --image $<TARGET_FILE:${NAME}> --objects ${ARGN})
  add_custom_command(TARGET ${NAME} POST_BUILD
    COMMAND python3 ${checker} ${args}
    COMMENT "Checking image ${NAME}.efi" VERBATIM COMMAND_EXPAND_LISTS)
  add_test(NAME image.${NAME} COMMAND python3 ${checker} ${args} COMMAND_EXPAND_LISTS)
endfunction()

# Flags of code that goes into a driver image, and dxe_add_driver(), which makes one driver into
# its two forms: the AArch64 PE32+ image (NAME.efi) in the aarch64-uefi tree, and in the host tree
# a loadable simulation image (bin/images/NAME.so) plus an object library that tests link directly.

# The shipped images are built for size (-Oz) and optimised across files at link time (-flto:
# lld-link generates the code of the whole image). The exception is the LZMA decoder, which
# decodes every compressed section of the boot: it keeps the optimisation that makes it fast
# (runtime/CMakeLists.txt), and the decode benchmark of the host-release tree builds it with the
# same flag.
set(DXE_IMAGE_OPTIMISATION -Oz)
set(DXE_LZMA_DECODER_OPTIMISATION -O2)

add_library(dxe_image_flags INTERFACE)
target_compile_options(dxe_image_flags INTERFACE
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fstack-protector-strong)
if(DXE_UEFI)
  target_compile_options(dxe_image_flags INTERFACE
    -ffreestanding -nostdlibinc -mgeneral-regs-only -mno-stack-arg-probe
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections -Wframe-larger-than=4096
    ${DXE_IMAGE_OPTIMISATION} -flto)
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
    dxe_check_budget(${NAME})
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

# Post-build checks of a shipped image (PE headers, sections, relocations, reproducible time
# stamp, stack protection) and a ctest entry that repeats them.
# The objects are checked too: a static constructor would never run.
function(dxe_check_image NAME KIND)
  set(checker ${PROJECT_SOURCE_DIR}/tools/image_check/check_image.py)
  set(args --kind ${KIND} --image $<TARGET_FILE:${NAME}> --objects ${ARGN})
  add_custom_command(TARGET ${NAME} POST_BUILD
    COMMAND python3 ${checker} ${args}
    COMMENT "Checking image ${NAME}.efi" VERBATIM COMMAND_EXPAND_LISTS)
  add_test(NAME image.${NAME} COMMAND python3 ${checker} ${args} COMMAND_EXPAND_LISTS)
endfunction()

# Size and stack-frame budget of a shipped image (tools/image_check/budgets.txt), checked after its
# link and again by ctest. dxe_add_image_report() then gathers the measurements of every image in
# image-report.txt.
set(DXE_IMAGE_REPORT_TOOL ${PROJECT_SOURCE_DIR}/tools/image_check/image_report.py)
set(DXE_IMAGE_BUDGETS ${PROJECT_SOURCE_DIR}/tools/image_check/budgets.txt)

function(dxe_check_budget NAME)
  set(json ${CMAKE_BINARY_DIR}/reports/${NAME}.json)
  set(args check --name ${NAME} --image $<TARGET_FILE:${NAME}> --budgets ${DXE_IMAGE_BUDGETS}
           --out ${json})
  add_custom_command(TARGET ${NAME} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/reports
    COMMAND python3 ${DXE_IMAGE_REPORT_TOOL} ${args}
    BYPRODUCTS ${json}
    COMMENT "Budget of image ${NAME}.efi" VERBATIM COMMAND_EXPAND_LISTS)
  add_test(NAME image_budget.${NAME} COMMAND python3 ${DXE_IMAGE_REPORT_TOOL} ${args}
           COMMAND_EXPAND_LISTS)
  # Linked again, and so measured again, when the budgets or the tools change.
  set_property(TARGET ${NAME} APPEND PROPERTY LINK_DEPENDS ${DXE_IMAGE_BUDGETS}
               ${DXE_IMAGE_REPORT_TOOL} ${PROJECT_SOURCE_DIR}/tools/image_check/check_image.py)
  set_property(GLOBAL APPEND PROPERTY DXE_IMAGE_REPORTS ${json})
endfunction()

function(dxe_add_image_report)
  get_property(reports GLOBAL PROPERTY DXE_IMAGE_REPORTS)
  set(out ${CMAKE_BINARY_DIR}/image-report.txt)
  add_custom_command(OUTPUT ${out}
    COMMAND python3 ${DXE_IMAGE_REPORT_TOOL} summary --out ${out} ${reports}
    DEPENDS ${reports} ${DXE_IMAGE_REPORT_TOOL} COMMENT "Image report" VERBATIM)
  add_custom_target(image_report ALL DEPENDS ${out})
endfunction()

# A test image in both forms, like a driver but not shipped: NAME.efi in the aarch64-uefi tree's
# probes/ folder, where the emulation engine's tests find it, and bin/images/NAME.so in the host
# tree. EFI_NAME and EFI_FOLDER rename the .efi and put it in a folder of probes/ (a stand-in
# under a driver's name); UEFI_ONLY leaves the host build to whoever makes it.
function(dxe_add_probe_image NAME)
  cmake_parse_arguments(ARG "UEFI_ONLY" "EFI_NAME;EFI_FOLDER" "SOURCES" ${ARGN})
  if(ARG_UEFI_ONLY AND NOT DXE_UEFI)
    return()
  endif()
  set(logic ${NAME}_logic)
  add_library(${logic} OBJECT ${ARG_SOURCES})
  target_link_libraries(${logic} PUBLIC dxe_runtime PRIVATE dxe_image_flags)
  if(DXE_UEFI)
    set(folder ${CMAKE_BINARY_DIR}/probes/${ARG_EFI_FOLDER})
    if(NOT ARG_EFI_NAME)
      set(ARG_EFI_NAME ${NAME})
    endif()
    add_executable(${NAME} $<TARGET_OBJECTS:${logic}>)
    target_link_libraries(${NAME} PRIVATE dxe_runtime)
    set_target_properties(${NAME} PROPERTIES OUTPUT_NAME ${ARG_EFI_NAME} SUFFIX .efi
                          RUNTIME_OUTPUT_DIRECTORY ${folder})
    target_link_options(${NAME} PRIVATE
      /subsystem:efi_boot_service_driver /entry:_ModuleEntryPoint
      /map:${folder}/${ARG_EFI_NAME}.map)
  else()
    dxe_add_sim_image(${NAME} ${logic})
  endif()
endfunction()

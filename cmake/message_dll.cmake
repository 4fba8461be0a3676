# bx_add_message_dll(TARGET MC_FILE OUTPUT_NAME)
#   A resource-only DLL holding the message table of an event message file:
#   mingw-w64's message compiler (windmc) turns MC_FILE into a resource script
#   and its message binaries, windres compiles them, and the DLL is linked
#   without the C runtime and without an entry point. The file is
#   bin/OUTPUT_NAME, beside the programs that name it in the registry.
include_guard(GLOBAL)

if(WIN32)
  find_program(BX_WINDMC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
endif()

function(bx_add_message_dll target mc_file output_name)
  get_filename_component(mc_path ${mc_file} ABSOLUTE)
  get_filename_component(mc_name ${mc_file} NAME_WE)
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/${target}_mc)
  add_custom_command(
    OUTPUT ${gen}/${mc_name}.rc ${gen}/${mc_name}.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${gen}
    COMMAND ${BX_WINDMC} -U -h ${gen} -r ${gen} ${mc_path}
    DEPENDS ${mc_path}
    COMMENT "Compiling message table ${mc_file}"
    VERBATIM)
  add_library(${target} SHARED ${gen}/${mc_name}.rc)
  # windres finds the message binaries that the script names in ${gen}.
  target_include_directories(${target} PRIVATE ${gen})
  get_filename_component(out_base ${output_name} NAME_WE)
  get_filename_component(out_ext ${output_name} EXT)
  string(SUBSTRING "${out_ext}" 1 -1 out_suffix)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${out_base} SUFFIX ".${out_suffix}"
                        LINKER_LANGUAGE C)
  target_link_options(${target} PRIVATE -nostdlib -Wl,--entry=0)
endfunction()

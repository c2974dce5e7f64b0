# velmora_export_map(TARGET HEADER MACRO)
#
# Limits the dynamic symbol table of a shared library to the functions its
# public header declares with MACRO (for example BRIN_API). The version script
# is generated from the header at configure time, so the header stays the one
# list of exports.
function(velmora_export_map target header macro)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  file(READ ${header} text)
  # Join continuation lines so a declaration split over lines still matches.
  string(REGEX REPLACE "\n[ \t]+" " " text "${text}")
  # A declaration starts its line with the macro: "BRIN_API int32_t name(".
  string(REGEX MATCHALL "\n${macro}[^;(\n]*[ *]([A-Za-z_][A-Za-z0-9_]*)[ \t]*\\(" decls "\n${text}")
  set(names "")
  foreach(decl IN LISTS decls)
    string(REGEX REPLACE ".*[ *]([A-Za-z_][A-Za-z0-9_]*)[ \t]*\\($" "\\1" name "${decl}")
    list(APPEND names ${name})
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(LENGTH names count)
  if(count EQUAL 0)
    message(FATAL_ERROR "${header}: no declarations marked ${macro}")
  endif()
  set(map "{\n  global:\n")
  foreach(name IN LISTS names)
    string(APPEND map "    ${name};\n")
  endforeach()
  string(APPEND map "  local:\n    *;\n};\n")
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(WRITE ${file}.tmp "${map}")
  file(COPY_FILE ${file}.tmp ${file} ONLY_IF_DIFFERENT)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${file}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${file})
  set_property(TARGET ${target} PROPERTY VELMORA_EXPORTS "${names}")
endfunction()

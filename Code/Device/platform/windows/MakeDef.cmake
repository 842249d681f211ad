# cmake -DEXPORTS=exports.txt -DDEF=out.def -P MakeDef.cmake
# Writes the module-definition file of the DLL: every plain name of the export list (a
# line that is neither a comment nor a decorated name with its parameter list).
file(STRINGS ${EXPORTS} lines)
set(text "LIBRARY NVS300x64.dll\nEXPORTS\n")
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#" OR line MATCHES "[(]")
    continue()
  endif()
  string(APPEND text "    ${line}\n")
endforeach()
file(WRITE ${DEF}.tmp "${text}")
file(COPY_FILE ${DEF}.tmp ${DEF} ONLY_IF_DIFFERENT)
file(REMOVE ${DEF}.tmp)
